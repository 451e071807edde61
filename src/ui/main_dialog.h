// The main dialog (password box, 更新, キャンセル, the instructions) and the About box.
#pragma once

#include <QDialog>
#include <QIcon>
#include <memory>
#include <string>

#include "platform/secure_memory.h"
#include "renewal/renewal_job.h"
#include "ui/supervision.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace tessaly::ui {

class CAboutDlg : public QDialog {
    Q_OBJECT

  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CLumenoDlg : public QDialog {
    Q_OBJECT

  public:
    // `url`: where the renewal requests go. `options`: the supervision's owner is this dialog.
    CLumenoDlg(std::u16string url, RenewalServices services, SupervisionOptions options = {},
               QWidget* parent = nullptr);
    ~CLumenoDlg() override;

    // The commands that do nothing: Esc (Cancel) and OK.
    void reject() override {}
    void accept() override {}

    // A window-menu command; kIdmAboutBox shows the About box.
    void onSysCommand(int id);

  protected:
    void closeEvent(QCloseEvent* event) override;  // the close box ends with Rejected

  private:
    void onBnClickedUpdate();
    void endDialog(int result);

    QIcon m_hIcon;
    std::shared_ptr<RenewalJob> m_job;
    platform::WideString m_password;
    std::u16string url_;
    RenewalServices services_;
    SupervisionOptions options_;
    QLineEdit* passwordEdit_;
    QPushButton* updateButton_;
    QPushButton* cancelButton_;
    QLabel* passwordLabel_;
    QLabel* instructions_;
};

}  // namespace tessaly::ui
