// Every message box of the program goes through UserBox: errors, questions with their answers,
// and notes. A call names what its box is for; the purpose decides the box's buttons and icon,
// and the owner (the dialog once it exists) and the caption are the same for every box. A new
// way of telling or asking the user (a silent mode, a log) belongs here, and nowhere else.
#include "startup/startup.h"

static const unsigned short boxStyles[BOX_PURPOSES] = {
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
    // notes
    MB_OK | MB_ICONERROR,                          // BOX_NO_COMMAND
    MB_OK,                                         // BOX_CANNOT_ENTER_FOLDER
    MB_OK,                                         // BOX_ABOUT
    // questions
    MB_OKCANCEL,                                   // BOX_MODULE_IN_USE
    MB_YESNOCANCEL,                                // BOX_OVERWRITE
    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,    // BOX_CANCEL_QUERY
    MB_YESNO | MB_ICONQUESTION,                    // BOX_DONE_QUERY
    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,    // BOX_LEAVE_FILES_QUERY
    MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2,    // BOX_STILL_RUNNING_QUERY
};

int UserBox(BoxPurpose purpose, const char* text) {
    // Before the dialog's set-up `dialogWindow` is still 0: the box has no owner.
    UINT style = boxStyles[purpose];
#ifdef _WIN32
    return MessageBoxA(state.dialogWindow, text, state.appTitle, style);
#else
    // The Linux build's boxes are answered by the stand-in's scripting, which is told the purpose.
    return StandInMessageBox(purpose, state.dialogWindow, text, state.appTitle, style);
#endif
}
