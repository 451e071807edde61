// The application's start-up: when the network library cannot be set up the user sees why and
// the main dialog never shows; Qt's standard buttons speak Japanese.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <cstdlib>

#include "modal_script.h"
#include "ui/app.h"
#include "ui/main_dialog.h"
#include "ui/qt_text.h"
#include "ui/texts.h"

namespace tessaly::ui {
namespace {

using testing::ModalScript;
using testing::pressButton;
using testing::saveScreenshot;

TEST(AppStartup, FailedNetworkSetUpIsReportedAndNoDialogShows) {
    QString text;
    QString caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString yes;
    QString no;
    bool mainDialogSeen = false;
    int setUps = 0;
    ModalScript script;
    script.then(kStartupFailureName, [&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        text = box->text();
        caption = box->windowTitle();
        icon = box->icon();
        // The translations are in place by now: a question would offer はい and いいえ.
        QMessageBox question(QMessageBox::Question, caption, text,
                             QMessageBox::Yes | QMessageBox::No);
        yes = question.button(QMessageBox::Yes)->text();
        no = question.button(QMessageBox::No)->text();
        for (QWidget* window : QApplication::topLevelWidgets()) {
            mainDialogSeen = mainDialogSeen || qobject_cast<CLumenoDlg*>(window) != nullptr;
        }
        saveScreenshot(box, "startup-failure");
        pressButton(box, QMessageBox::Ok);
    });

    CLumenoApp app([&]() -> std::shared_ptr<void> {
        ++setUps;
        return nullptr;
    });
    EXPECT_EQ(app.initInstance(), EXIT_FAILURE);
    EXPECT_TRUE(script.finished()) << script.pending();
    EXPECT_EQ(setUps, 1);
    EXPECT_EQ(text, toQString(kSocketStartupFailed));
    EXPECT_EQ(caption, toQString(kCaption));
    EXPECT_EQ(icon, QMessageBox::Warning);
    EXPECT_TRUE(yes.startsWith(QStringLiteral("はい"))) << yes.toStdString();
    EXPECT_TRUE(no.startsWith(QStringLiteral("いいえ"))) << no.toStdString();
    EXPECT_FALSE(mainDialogSeen);
}

}  // namespace
}  // namespace tessaly::ui
