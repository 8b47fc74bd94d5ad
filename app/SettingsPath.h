// Where the program keeps its settings file and finds its data files.
//
// A copy run from its own folder is portable: Zelmar.ini lies beside it. The
// installed program (the executable in the installed bin directory, with the
// installed data directory beside that) keeps it in the user's configuration
// directory instead, unless an administrator has put a Zelmar.ini beside it.
// Standard library and POSIX only, so the command line can use it before any
// window exists.
#pragma once

#include <string>

namespace settingspath {

inline constexpr const char* FileName = "Zelmar.ini";

// The directory of the running executable (no trailing "/"); empty if unknown.
std::string ProgramDir();

// True when `exeDir` is the bin directory of an installed copy: its name is the
// installed bin directory's name and the installed data directory, found
// relative to it, holds Info.ans.
bool IsInstalledCopy(const std::string& exeDir);

// The user's configuration directory for this program: $XDG_CONFIG_HOME/varnex
// when that variable holds an absolute path, else $HOME/.config/varnex (the
// password database's home when HOME is unset or relative). Empty if no home is
// known. Pass the variables' values (nullptr for unset).
std::string UserConfigDir(const char* xdgConfigHome, const char* home);

struct Location {
    std::string File;        // the settings file to use
    std::string DirToCreate; // the private directory to create first ("" if none)
};

// The settings file for a program in `exeDir` (see the top of this file).
Location Resolve(const std::string& exeDir, const char* xdgConfigHome, const char* home);
// The same for this process (its executable and environment).
Location ResolveForThisProcess();

// Creates `dir` and its missing parents with mode 0700 (an existing directory
// keeps its mode). False with a reason in `error` when it cannot.
bool MakePrivateDir(const std::string& dir, std::string& error);

// The settings file the program uses, as set at start-up; before that, the one
// the rules give for this process.
std::string InUse();
void SetInUse(const std::string& file);

// A data file shipped with the program (Info.ans): the current directory first,
// then beside the program, then the installed data directory. Returns the first
// that exists, or `name` itself when none does.
std::string FindDataFile(const std::string& name);
std::string FindDataFile(const std::string& name, const std::string& programDir);

} // namespace settingspath
