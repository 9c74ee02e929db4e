// Runs the program's own launch, running-program probe and folder removal under Wine, one
// per call, and answers through the exit code:
//   pumpcheck running FOLDER NAME   1 when IsProgramRunning(NAME) from FOLDER, else 0
//   pumpcheck launch FOLDER CMDLINE LaunchCommand from FOLDER, then waits: the child's exit
//                                   code, or 255 when it could not be started
//   pumpcheck deltree FOLDER        DeleteTree: 1 when the folder went, plus 2 when the
//                                   call took a second or more
#include <string.h>

#include "archive/paths.cpp"
#include "archive/removal.cpp"
#include "base/text.cpp"
#include "base/userbox.cpp"
#include "ui/launch.cpp"
#include "ui/pumps.cpp"

ExtractorState state = {"Tessly Self-Extractor"};
StubData stubData;

char* GetMessageText(int) { return (char*)"Unzip-Vorgang abbrechen ?"; }

int main(int argc, char** argv) {
    if (argc >= 4 && !lstrcmpA(argv[1], "running")) {
        if (!SetCurrentDirectoryA(argv[2])) return 100;
        return IsProgramRunning(argv[3]) ? 1 : 0;
    }
    if (argc >= 4 && !lstrcmpA(argv[1], "launch")) {
        if (!SetCurrentDirectoryA(argv[2])) return 100;
        // the command line is the rest after the folder (which has no blanks)
        HANDLE process = LaunchCommand(strstr(GetCommandLineA(), argv[2]) + lstrlenA(argv[2]) + 1);
        if (!process) return 255;
        WaitForSingleObject(process, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        return (int)code;
    }
    if (argc >= 3 && !lstrcmpA(argv[1], "deltree")) {
        char folder[PATH_CHARS];
        lstrcpynA(folder, argv[2], PATH_CHARS - 1);
        DWORD start = GetTickCount();
        BOOL removed = DeleteTree(folder);
        return (removed ? 1 : 0) | (GetTickCount() - start >= 1000 ? 2 : 0);
    }
    return 99;
}
