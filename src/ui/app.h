// The application: prepares the process, runs the main dialog modally, and ends when it closes.
#pragma once

namespace tessaly::ui {

class CLumenoApp {
  public:
    // Start-up and the main dialog. Only the program's name is taken from `argv`; the tool reads
    // no argument, variable or file of its own. Returns the process's exit status.
    int run(int argc, char** argv);
};

}  // namespace tessaly::ui
