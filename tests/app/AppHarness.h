// The real main window and serial module with a settings file in a temporary
// directory, the error report and beeps recorded.
#pragma once

#include "FSerPort.h"
#include "Main.h"

#include <QTemporaryDir>
#include <memory>
#include <string>
#include <vector>

class QComboBox;

struct AppHarness {
    explicit AppHarness(const QStringList& args = {}, const QString& dir = {});
    ~AppHarness();

    // Shows the window and waits for its first paint (the session load).
    bool Start();
    // Picks COM<comIndex + 1> in the channel's port list and clicks "connect";
    // true when the channel is connected.
    bool Connect(int ch, int comIndex);
    // The same with COM<comIndex + 1> mapped to `device` first.
    bool ConnectTo(int ch, int comIndex, const std::string& device);
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

// A copy of the built program at `dir`/zelmar (its settings file then lies
// beside it); empty on failure.
QString CopyProgram(const QString& dir);

// Open descriptors of this process (to find leaks).
int OpenFdCount();
// Processor time of the whole process so far, in seconds.
double CpuSeconds();

// Helpers a test brings in with `using namespace apptest;`.
namespace apptest {

// The one plain beep of a refused action.
inline const std::vector<std::uint32_t> kPlainBeep{0};

// Picks an item of a list as the user does.
void Pick(QComboBox* list, int index);

// Keys as the window system delivers them: queued, so a handler that waited
// for the line inside a nested event loop would run the later ones within it.
void PostKeys(QWidget* w, const QString& text);

// The current directory set to a fresh temporary one while it lives.
struct InTempDir {
    QTemporaryDir dir;
    QString old;
    InTempDir();
    ~InTempDir();
    void Write(const QString& name, const QByteArray& data);
};

} // namespace apptest
