// Every message box of the program goes through UserBox: errors, questions with their answers,
// and notes. A call names what its box is for; the purpose decides the box's buttons and icon,
// and the owner (the dialog once it exists) and the caption are the same for every box. Here
// too a silent run answers its own questions and takes its exit code from its failures, and
// every failure and question becomes a line of the log.
#include "base/base.h"

// Stored in a byte each: every style fits in one but MB_DEFBUTTON2 (0x100), which is kept as
// STYLE_DEFBUTTON2 (0x80, no style bit of a box here) and moved back by UserBox.
enum { STYLE_DEFBUTTON2 = 0x80 };
static_assert(MB_DEFBUTTON2 == 2 * STYLE_DEFBUTTON2, "the bit moves up by one");
static const unsigned char boxStyles[BOX_PURPOSES] = {
    // errors
    MB_OK | MB_ICONERROR,                          // BOX_HEADER_INVALID
    MB_OK | MB_ICONERROR,                          // BOX_READ_FAILED
    MB_OK | MB_ICONERROR,                          // BOX_SEEK_FAILED
    MB_OK | MB_ICONERROR,                          // BOX_END_RECORD_BAD
    MB_OK | MB_ICONERROR,                          // BOX_BAD_HEADER
    MB_OK | MB_ICONERROR,                          // BOX_BAD_METHOD
    MB_OK | MB_ICONERROR,                          // BOX_BAD_CRC
    MB_OK | MB_ICONERROR,                          // BOX_CANNOT_CREATE_FILE
    MB_OK | MB_ICONERROR,                          // BOX_CANNOT_CREATE_FOLDER
    MB_OK | MB_ICONERROR,                          // BOX_WRITE_FAILED
    MB_OK | MB_ICONERROR,                          // BOX_OUT_OF_MEMORY
    MB_OK | MB_ICONERROR,                          // BOX_NO_TEMP_FOLDER
    MB_OK | MB_ICONERROR,                          // BOX_CANNOT_RUN
    MB_OK | MB_ICONERROR,                          // BOX_ENCRYPTED
    // notes
    MB_OK | MB_ICONERROR,                          // BOX_NO_COMMAND
    MB_OK,                                         // BOX_CANNOT_ENTER_FOLDER
    MB_OK,                                         // BOX_ABOUT
    MB_OK | MB_ICONINFORMATION,                    // BOX_EXTRACTED
    // questions
    MB_OKCANCEL,                                   // BOX_MODULE_IN_USE
    MB_YESNOCANCEL,                                // BOX_OVERWRITE
    MB_YESNO | MB_ICONQUESTION | STYLE_DEFBUTTON2, // BOX_CANCEL_QUERY
    MB_YESNO | MB_ICONQUESTION,                    // BOX_DONE_QUERY
    MB_YESNO | MB_ICONQUESTION | STYLE_DEFBUTTON2, // BOX_LEAVE_FILES_QUERY
    MB_YESNO | MB_ICONQUESTION | STYLE_DEFBUTTON2, // BOX_STILL_RUNNING_QUERY
};

// What a run ends with when a box of this purpose has been its last failure; the
// purposes left out (the Info box and the questions) end nothing.
static const unsigned short exitCodes[BOX_PURPOSES] = {
    EXIT_DAMAGED_FILE,       // BOX_HEADER_INVALID
    EXIT_EXTRACTION_FAILED,  // BOX_READ_FAILED
    EXIT_EXTRACTION_FAILED,  // BOX_SEEK_FAILED
    EXIT_DAMAGED_FILE,       // BOX_END_RECORD_BAD
    EXIT_EXTRACTION_FAILED,  // BOX_BAD_HEADER
    EXIT_EXTRACTION_FAILED,  // BOX_BAD_METHOD
    EXIT_EXTRACTION_FAILED,  // BOX_BAD_CRC
    EXIT_EXTRACTION_FAILED,  // BOX_CANNOT_CREATE_FILE
    EXIT_EXTRACTION_FAILED,  // BOX_CANNOT_CREATE_FOLDER
    EXIT_EXTRACTION_FAILED,  // BOX_WRITE_FAILED
    EXIT_OUT_OF_MEMORY,      // BOX_OUT_OF_MEMORY
    EXIT_NO_FOLDER,          // BOX_NO_TEMP_FOLDER
    EXIT_NO_COMMAND,         // BOX_CANNOT_RUN
    EXIT_EXTRACTION_FAILED,  // BOX_ENCRYPTED
    EXIT_NO_COMMAND,         // BOX_NO_COMMAND
    EXIT_NO_FOLDER,          // BOX_CANNOT_ENTER_FOLDER
};

// The answer a silent run gives: the default button, what Enter would press. For the
// questions about cancelling that is No; for "&Done", OK on a module in use (the member is
// skipped, as the text says) and overwrite (only an earlier member of the same archive can
// be in the way of a file in the run's own new folder), it is the first button.
static int DefaultAnswer(UINT style) {
    if ((style & 0xF) <= MB_OKCANCEL) return IDOK;
    return style & MB_DEFBUTTON2 ? IDNO : IDYES;
}

// The log's word for each answer (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7; the rest none), as the
// offset of the word in one string.
static const char answerWords[] = "\0OK\0Cancel\0Yes\0No";
static const unsigned char answerWordAt[8] = {0, 1, 4, 0, 0, 0, 11, 15};

int UserBox(BoxPurpose purpose, const char* text) {
    // Before the dialog's set-up `dialog.window` is still 0: the box has no owner.
    UINT style = boxStyles[purpose];
    style += style & STYLE_DEFBUTTON2;
    int answer = DefaultAnswer(style);
    // The About box has the dialog's own caption when the packager gave one (the dialog's
    // set-up puts "Setup" in for an empty one).
    const char* caption = state.run.appTitle;
    if (purpose == BOX_ABOUT && state.texts.customCaption && state.texts.customCaption[0])
        caption = state.texts.customCaption;
    if (!state.run.silentMode) {
#ifdef TESSLY_WINAPI
        answer = MessageBoxW(state.dialog.window, ToWide(text), ToWide(caption, 1), style);
#else
        // The Linux build's boxes are answered by the stand-in's scripting, which is told the
        // purpose.
        answer = StandInMessageBox(purpose, state.dialog.window, text, caption, style);
#endif
    }
    if (exitCodes[purpose]) {
        state.run.exitCode = exitCodes[purpose];
        WriteLog(MSG_LOG_ERROR, text);
    } else if (style & 0xF) {
        WriteLog(MSG_LOG_QUESTION, answerWords + answerWordAt[answer & 7], text);
    }
    return answer;
}

int ShowMessage(BoxPurpose purpose, int id) { return UserBox(purpose, GetMessageText(id)); }

// ---- the log --------------------------------------------------------------------------------
// Runs that share a log append to it at the same time. Each line is one write at the end of
// the file while a lock on a byte far beyond any end is held: appending alone is not whole
// on every system (under Wine two runs lose and mix lines).
void StartLog(void) {
    if (!state.log.path[0]) return;
    HANDLE file = CreateFileW(state.log.path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    state.log.file = (HFILE)(INT_PTR)file;
    WriteLog(state.run.silentMode ? MSG_LOG_START_SILENT : MSG_LOG_START_INTERACTIVE,
             state.run.selfPath);
}

// `id` is the message that holds the line's format.
void WriteLog(int id, ...) {
    if (!state.log.file) return;
    // Composed in the run's code page, like every text of the program; written in UTF-8.
    static char line[1100];
    static WCHAR wide[1100];
    static char utf8[3300];
    SYSTEMTIME now;
    GetLocalTime(&now);
    int length = wsprintfA(line, "%04u-%02u-%02u %02u:%02u:%02u [%lu] ", now.wYear, now.wMonth,
                           now.wDay, now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId());
    va_list args;
    va_start(args, id);
    wvsprintfA(line + length, GetMessageText(id), args);
    va_end(args);
    // One event, one line: the line breaks of a text become blanks.
    for (char* p = line; *p; ++p)
        if (*p == '\r' || *p == '\n') *p = ' ';
    lstrcatA(line, "\r\n");
    int chars = MultiByteToWideChar(RUN_CODE_PAGE, 0, line, -1, wide, 1100) - 1;
    UINT bytes = WideCharToMultiByte(CP_UTF8, 0, wide, chars, utf8, sizeof utf8, 0, 0);
    OVERLAPPED beyond = {};
    beyond.Offset = 0xFFFFFFFF;
    beyond.OffsetHigh = 0x7FFFFFFF;
    // A file system without locks still gets the line.
    HANDLE file = (HANDLE)(INT_PTR)state.log.file;
    BOOL locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &beyond);
    SetFilePointer(file, 0, 0, FILE_END);
    _lwrite(state.log.file, utf8, bytes);
    if (locked) UnlockFileEx(file, 0, 1, 0, &beyond);
}

void SetStandardCursor(LPCSTR cursor) { SetCursor(LoadCursorA(0, cursor)); }
