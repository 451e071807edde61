// The application: prepares the process, runs the main dialog modally, and ends when it closes.
#pragma once

#include <functional>
#include <memory>

namespace tessaly::ui {

// Object name of the message box shown when the network library cannot be set up.
inline constexpr char kStartupFailureName[] = "startupFailure";

class CLumenoApp {
  public:
    // Sets up the network library for the process; what it returns keeps it set up while held.
    // Empty when the set-up failed.
    using NetworkStartup = std::function<std::shared_ptr<void>()>;

    CLumenoApp();  // libcurl's process-wide set-up
    explicit CLumenoApp(NetworkStartup networkStartup);

    // Makes the Qt application (given no argument but the program's name; the tool reads no
    // argument, variable or file of its own), then runs initInstance(). Returns the process's
    // exit status.
    int run(int argc, char** argv);

    // The start-up steps and the main dialog, in a Qt application that exists already.
    int initInstance();

  private:
    NetworkStartup networkStartup_;
};

}  // namespace tessaly::ui
