// Runs the process-wide tick service from one 55 ms QTimer on the window
// thread. Start it in main() right after the QApplication, before any lamp is
// made; stop it at program end. The timer runs only while the service needs
// ticks (some lamp flashes or blinks), so an idle window does not wake up.
#pragma once

// Starts the tick (again a no-op when running). Throws EOutOfResources
// ("no more timers") when the timer cannot be had, e.g. without an event loop.
void StartTickService();
// Stops the tick; the lamps keep their records until they are destroyed.
void StopTickService();
bool TickServiceRunning();
// Whether the 55 ms timer is running right now (not just the service started).
bool TickTimerActive();

// Starts the tick for its lifetime.
class TTickServiceRun {
public:
    TTickServiceRun() { StartTickService(); }
    ~TTickServiceRun() { StopTickService(); }
    TTickServiceRun(const TTickServiceRun&) = delete;
    TTickServiceRun& operator=(const TTickServiceRun&) = delete;
};
