#include "ui/main_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/dialog_units.h"
#include "ui/message_box.h"
#include "ui/password_rule.h"
#include "ui/picker.h"
#include "ui/program_icon.h"
#include "ui/qt_text.h"
#include "ui/texts.h"

namespace tessaly::ui {

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("aboutDialog");
    setWindowTitle(toQString(kAboutCaption));
    setFont(dialogFont(QStringLiteral("MS UI Gothic"), 9));
    const DialogUnits units = DialogUnits::of(font());
    setFixedSize(units.size(222, 63));

    auto* icon = new QLabel(this);
    icon->setObjectName("aboutIcon");
    const QRect iconRect = units.rect(14, 14, 20, 20);
    icon->setGeometry(iconRect);
    icon->setPixmap(programIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    auto* version = new QLabel(toQString(kAboutVersion), this);
    version->setObjectName("aboutVersion");
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(units.rect(42, 14, 165, 8));

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName("aboutOk");
    ok->setGeometry(units.rect(165, 42, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

CLumenoDlg::CLumenoDlg(std::u16string url, RenewalServices services, SupervisionOptions options,
                       QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_hIcon(programIcon()),
      url_(std::move(url)),
      services_(std::move(services)),
      options_(options) {
    setObjectName("mainDialog");
    setWindowTitle(toQString(kCaption));
    setFont(dialogFont(QStringLiteral("MS UI Gothic"), 9));
    const DialogUnits units = DialogUnits::of(font());
    resize(units.size(182, 118));
    options_.owner = this;

    // Template order is the tab order.
    passwordEdit_ = new QLineEdit(this);
    passwordEdit_->setObjectName("passwordEdit");
    passwordEdit_->setEchoMode(QLineEdit::Password);
    passwordEdit_->setGeometry(units.rect(51, 58, 95, 13));

    updateButton_ = new QPushButton(toQString(kUpdateButton), this);
    updateButton_->setObjectName("updateButton");
    updateButton_->setGeometry(units.rect(37, 84, 50, 22));
    updateButton_->setDefault(true);
    connect(updateButton_, &QPushButton::clicked, this, &CLumenoDlg::onBnClickedUpdate);

    cancelButton_ = new QPushButton(toQString(kCancelButton), this);
    cancelButton_->setObjectName("cancelButton");
    cancelButton_->setGeometry(units.rect(96, 84, 50, 22));
    connect(cancelButton_, &QPushButton::clicked, this, [this] { endDialog(QDialog::Rejected); });

    passwordLabel_ = new QLabel(toQString(kPasswordLabel), this);
    passwordLabel_->setObjectName("passwordLabel");
    passwordLabel_->setGeometry(units.rect(11, 60, 40, 8));

    instructions_ = new QLabel(this);
    instructions_->setObjectName("instructions");
    instructions_->setTextFormat(Qt::PlainText);
    instructions_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    instructions_->setGeometry(units.rect(10, 8, 166, 41));

    setTabOrder(passwordEdit_, updateButton_);
    setTabOrder(updateButton_, cancelButton_);

    // The window menu: a right click on the dialog. The About item comes last, after a separator.
    setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    auto* about = new QAction(toQString(kAboutMenuItem), this);
    about->setObjectName("aboutAction");
    connect(about, &QAction::triggered, this, [this] { onSysCommand(kIdmAboutBox); });
    addAction(about);

    setWindowIcon(m_hIcon);
    instructions_->setText(toQString(kInstructions));
    // Wrapped, the last sentence needs a sixth line: it may run down to the password label
    // (that short line stays left of the password box).
    growToFitWrappedText(instructions_, units.y(60));
    m_job = std::make_shared<RenewalJob>();
    passwordEdit_->setFocus();
}

CLumenoDlg::~CLumenoDlg() {
    platform::wipe(m_password);
    m_job.reset();
}

void CLumenoDlg::onSysCommand(int id) {
    if ((id & 0xFFF0) == kIdmAboutBox) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CLumenoDlg::closeEvent(QCloseEvent* event) {
    event->accept();
    endDialog(QDialog::Rejected);
}

void CLumenoDlg::endDialog(int result) {
    platform::wipe(m_password);
    passwordEdit_->setText(QString());  // drops the box's own copy and its undo history
    done(result);
}

void CLumenoDlg::onBnClickedUpdate() {
    wipe(m_password);
    m_password = toSecret(passwordEdit_->text());
    if (checkPassword(m_password) != 1) {
        showMessage(this, toQString(kPasswordInvalid), QMessageBox::Critical);
        return;
    }

    platform::CertHandle chosen;
    const int picked = selectExpiredCertificate(this, *services_.certs, chosen);
    if (picked > 0) {
        return;
    }
    if (picked == 0) {
        // The chosen context is released when the attempt lets go of it (at once, unless the
        // worker was abandoned and still runs).
        auto certificate = std::make_shared<ChosenCertificate>(services_.certs, chosen);
        const int result =
            runRenewalJob(m_job, url_, m_password, std::move(certificate), services_, options_);
        showMessage(this, toQString(m_job->message),
                    result != 0 ? QMessageBox::NoIcon : QMessageBox::Critical);
    }
    endDialog(QDialog::Accepted);
}

}  // namespace tessaly::ui
