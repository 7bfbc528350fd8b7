#pragma once

#include <string>

// The program's own documents. A program in a build tree has them beside itself; one
// installed as <prefix>/bin/velmora has the help in <prefix>/share/velmora/help/ and the
// README in <prefix>/share/doc/velmora/. Any thread.

// The compiled help, and the same help as HTML pages, beside the program in a build tree.
constexpr const char* kHelpFileName = "Velmora.chm";
constexpr const char* kHelpPagesIndex = "help/index.html";

struct ProgramDocuments {
    std::string helpFile;   // the compiled help
    std::string helpPages;  // index.html of the HTML pages
    std::string readme;
};

// The documents of the program in `programDir` (ending in '/'): where it is installed (no
// help pages beside it, but under ../share/velmora/help/), those; else the ones beside it.
ProgramDocuments FindProgramDocuments(const std::string& programDir);
