// Every text the dialogs show, word for word, with the identifiers the dialogs are known by.
#pragma once

namespace tessaly::ui {

// Caption of every message box of our own, and of the main dialog.
inline constexpr char16_t kCaption[] = u"Tessaly";

// String table
inline constexpr char16_t kAboutMenuItem[] = u"バージョン情報 Lumeno(&A)...";  // 101
inline constexpr char16_t kSocketStartupFailed[] =
    u"Windows ソケットの初期化に失敗しました。";  // 103
inline constexpr char16_t kInstructions[] =
    u"有効期限が切れた証明書の更新を行います。\n\n更新する証明書のパスワードを入力のうえ、\n\n"
    u"更新ボタンを押して更新する証明書を選択してください。";  // 30000

// Main dialog
inline constexpr char16_t kUpdateButton[] = u"更新";
inline constexpr char16_t kCancelButton[] = u"キャンセル";
inline constexpr char16_t kPasswordLabel[] = u"パスワード：";
inline constexpr char16_t kPasswordInvalid[] = u"パスワードが不正です。 ";  // ends in a blank

// About box
inline constexpr char16_t kAboutCaption[] = u"バージョン情報 Tessalyツール";
inline constexpr char16_t kAboutVersion[] = u"Tessalyツール, Version 1.0";

// Picker
inline constexpr char16_t kAcceptedIssuers[] =
    u"Corvane Banking Union CA;Corvane Banking Union CA G2;";
inline constexpr char16_t kSelectionTitle[] = u"有効期限切れ証明書の選択";
inline constexpr char16_t kSystemError[] = u"システムエラーが発生しました";
inline constexpr char16_t kStoreNotOpened[] = u"証明書ストアが開けません";
inline constexpr char16_t kExtensionMissing[] = u"証明書拡張情報が取得できません";

// Wait dialog and supervision
inline constexpr char16_t kWaitText[] =
    u"証明書をインポート中です。\nしばらくこのままでお待ちください...";
inline constexpr char16_t kForceEndQuestion[] = u"強制終了しますか？";

// Command of the About item in the window menu.
inline constexpr int kIdmAboutBox = 0x0010;

}  // namespace tessaly::ui
