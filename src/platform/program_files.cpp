#include "platform/program_files.h"

#include <unistd.h>

ProgramDocuments FindProgramDocuments(const std::string& programDir) {
    const std::string beside = programDir + kHelpPagesIndex;
    // "<prefix>/bin/" gives "<prefix>/share/".
    const size_t end = programDir.find_last_not_of('/');
    const size_t cut = end == std::string::npos ? std::string::npos : programDir.rfind('/', end);
    if (cut != std::string::npos && access(beside.c_str(), F_OK) != 0) {
        const std::string share = programDir.substr(0, cut + 1) + "share/";
        const std::string help = share + "velmora/help/";
        if (access((help + "index.html").c_str(), F_OK) == 0)
            return {help + kHelpFileName, help + "index.html", share + "doc/velmora/README.md"};
    }
    return {programDir + kHelpFileName, beside, programDir + "README.md"};
}
