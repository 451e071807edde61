#!/usr/bin/env bash
# The dialog tests once more on a real X server (Xvfb, Qt's xcb platform): each dialog is
# drawn as a desktop draws it, and its picture is left in build/normal/tests/ui/screenshots.
set -uo pipefail
cd "$(dirname "$0")/../.."

shots=build/normal/tests/ui/screenshots
rm -rf "$shots"
status=0
for test in main_dialog_test prompt_dialogs_test supervision_test app_test; do
    program=build/normal/tests/ui/$test
    [ -x "$program" ] || { echo "missing $program"; status=1; continue; }
    QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$program" --gtest_brief=1 ||
        status=1
done

expected=(main-dialog about-box wait-dialog result-message forced-end-question startup-failure
    certificate-selection root-confirmation database-password proxy-credentials
    client-certificate)
for name in "${expected[@]}"; do
    if [ ! -s "$shots/$name.png" ]; then
        echo "no screenshot of $name"
        status=1
    fi
done
[ $status -eq 0 ] && echo "screenshots under Xvfb: $shots (${#expected[@]} dialogs)"
exit $status
