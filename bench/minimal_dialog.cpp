// The reference for the start-up benchmark: the least a Qt Widgets program does to show a
// dialog (a label, a line edit, two buttons), ended as soon as the dialog is first drawn.
#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "shown_probe.h"

int main(int argc, char** argv) {
    tessaly::bench::watchForShown("minimalDialog");
    QApplication application(argc, argv);
    QDialog dialog;
    dialog.setObjectName("minimalDialog");
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("Password"), &dialog));
    layout->addWidget(new QLineEdit(&dialog));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(new QPushButton(QStringLiteral("OK"), &dialog));
    buttons->addWidget(new QPushButton(QStringLiteral("Cancel"), &dialog));
    layout->addLayout(buttons);
    return dialog.exec() == QDialog::Rejected ? 0 : 1;
}
