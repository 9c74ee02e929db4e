// Puts the program's global state back to how a new process finds it, so that one test
// process can run many start-ups and extractions.
#pragma once
#include <string>
#include <vector>

#include "archive/archive.h"
#include "base/feed.h"
#include "inflate/inflate.h"
#include "posix/standin.h"
#include "startup/startup.h"
#include "tests/support/sfx_files.h"
#include "ui/ui.h"

// Releases what the last run left allocated or open, zeroes `state` (and puts the title in),
// restores the stub's parameter block as built, and resets the stand-in.
void FreshState();

// Unpacks the built-in message table (the decoder's buffers are allocated as start-up does).
void LoadMessages();

// The message text with id n, as the program shows it (Windows-1252).
std::string Message(int n);

using sfxtest::FileExists;
using sfxtest::ReadFile;
using sfxtest::TempDir;
using sfxtest::WriteFile;
