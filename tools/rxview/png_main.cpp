// rxview-png: draws rxview's --format=png picture. rxview starts it with the
// stream on standard input, so rxview itself need not load Qt.
#include "ansi.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    try {
        const std::vector<std::string> args(argv + 1, argv + argc);
        return rxview::RunAnsiView(args, std::cin, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "rxview: " << e.what() << "\n";
        return 1;
    }
}
