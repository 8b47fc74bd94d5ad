#include "CommandLine.h"

#ifndef ZELMAR_VERSION
#define ZELMAR_VERSION "1.0"
#endif

namespace cmdline {

Parsed Parse(int argc, const char* const* argv) {
    Parsed p;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i] ? argv[i] : "";
        if (options && a == "--") {
            options = false;
        } else if (options && (a == "-h" || a == "--help")) {
            return {Action::Help, {}, {}};
        } else if (options && a == "--version") {
            return {Action::Version, {}, {}};
        } else if (options && !a.empty() && a[0] == '-') {
            return {Action::Error, {}, a};
        } else {
            p.SessionArgs.push_back(a);
        }
    }
    return p;
}

std::string Usage(const std::string& settingsFile) {
    return "Usage: zelmar [OPTION]... [--] [SESSION]...\n"
           "Varnex Dual Terminal: two serial channels side by side in one window.\n"
           "\n"
           "Options:\n"
           "  -h, --help     show this help and exit\n"
           "      --version  show the version and exit\n"
           "      --         end of options; later arguments are the session name even\n"
           "                 when they begin with '-' (zelmar -- -x)\n"
           "\n"
           "SESSION: the session to start with (default \"noname\"). All arguments are\n"
           "joined with blanks; of a path only the file name without its extension\n"
           "counts, so \"C:\\data\\lab test.cfg\" starts the session \"lab test\". No file\n"
           "is opened. A name the settings file cannot hold (\"Options\", \"Sessions\",\n"
           "\"Ports\", or with '[', ']', '=') starts \"noname\".\n"
           "\n"
           "Settings file: " +
           settingsFile +
           "\n"
           "  A copy run from its own folder keeps Zelmar.ini beside itself. The\n"
           "  installed program uses $XDG_CONFIG_HOME/varnex/Zelmar.ini, else\n"
           "  ~/.config/varnex/Zelmar.ini, unless a Zelmar.ini lies beside it.\n"
           "\n"
           "Ports: COM1..COM8 open the devices named in the [Ports] section of the\n"
           "settings file (COM1=/dev/ttyUSB0). Without an entry: COM1 /dev/ttyUSB0,\n"
           "COM2 /dev/ttyUSB1, COM3 /dev/ttyACM0, COM4 /dev/ttyACM1, COM5 /dev/ttyS0,\n"
           "COM6 /dev/ttyS1; COM7 and COM8 are the two ends of a built-in virtual\n"
           "null-modem cable (null-modem:1a, null-modem:1b).\n"
           "\n"
           "Exit status: 0 after a normal close, also when SIGTERM, SIGINT or SIGHUP\n"
           "closed the window (the session is saved); 1 the program could not start\n"
           "(or could not write this text); 2 a wrong option.\n";
}

std::string VersionText() {
    return "zelmar (Varnex Dual Terminal) " ZELMAR_VERSION "\n";
}

} // namespace cmdline
