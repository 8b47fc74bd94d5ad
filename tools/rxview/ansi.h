// rxview's ANSI mode: feeds a byte stream through a freshly cleared terminal
// screen and prints the result as cells or text, or renders it as a picture.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace rxview {

// args: the options after --mode=ansi (--format=cells|text|png, --xlat=on|off,
// --out=FILE, --font=12|9); input: the whole stream. Output goes to out,
// diagnostic reports and errors to err. Returns the process exit code
// (0 success, 2 bad option, 1 failure).
int RunAnsiView(const std::vector<std::string>& args, const std::string& input, std::ostream& out,
                std::ostream& err);
// The same, reading the stream from in block by block (whole only for png).
int RunAnsiView(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err);

} // namespace rxview
