// The real main window and serial module with a settings file in a temporary
// directory, the error report and beeps recorded.
#pragma once

#include "FSerPort.h"
#include "Main.h"

#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

struct AppHarness {
    explicit AppHarness(const QStringList& args = {}, const QString& dir = {});
    ~AppHarness();

    // Shows the window and waits for its first paint (the session load).
    bool Start();
    // Picks COM<comIndex + 1> in the channel's port list and clicks "connect";
    // true when the channel is connected.
    bool Connect(int ch, int comIndex);
    // Closes the window as the user would (ports closed, session saved).
    void Close();

    TChannelUi& Ch(int ch) { return Main->Channel(ch); }
    QString IniPath() const;

    QTemporaryDir Temp;
    QString Dir;
    std::unique_ptr<TTermMain> Main;
    std::unique_ptr<TSerForm> Ser;
    std::vector<std::string> Errors;
};

// A kernel pseudo-terminal: the program opens the slave path, the test holds the master.
struct Pty {
    Pty();
    ~Pty();
    void CloseMaster();
    bool WriteAll(const void* data, size_t n);
    std::string ReadAvailable(int waitMs);
    int Master = -1;
    std::string SlavePath;
};

// A whole file's bytes (empty when it cannot be read).
QByteArray ReadFile(const QString& path);
// Writes a file whole, making its directory first; false on any failure.
bool WriteFile(const QString& path, const QByteArray& text);

// Open descriptors of this process (to find leaks).
int OpenFdCount();
