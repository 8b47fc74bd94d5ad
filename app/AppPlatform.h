// Connects the Qt-free seams to the running application: the beep, the error
// report (a message box), the window-thread call queue of the port threads, and
// SIGINT/SIGTERM/SIGHUP closing the main window in order.
#pragma once

class QWidget;

namespace AppPlatform {
// Installs the beeper, the message-box error report and the queue wake-up.
void Install();
// SIGINT, SIGTERM and SIGHUP close `window` as if the user had closed it
// (SIGHUP stays ignored when it was ignored at start, as under nohup).
void CloseOnSignals(QWidget* window);
// True once a signal started the close: no one may be there to answer a box.
bool ClosingOnSignal();
} // namespace AppPlatform
