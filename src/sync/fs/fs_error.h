#pragma once

#include <QString>

// What went wrong in a file-system operation, as a value: what was being
// done, and the system's own account of it (its error number and its words).
// The user's words for it are chosen in one place, on the window's side.
enum class FsFault {
    None,
    System, // listing, looking at, opening or creating something: the system's words say it all
    ReadSource, // the source could not be opened or read
    SourceNotRegular, // the source is no regular file
    SourceChanged, // the source changed while it was read, or since it was looked at
    WriteTargetDirectory, // nothing could be created in the target directory
    WriteTarget, // writing, placing or closing the copy failed
    SetTime, // the copy could not be given its source's time
    TargetAppeared, // a new file's name was taken meanwhile
    TargetChanged, // the target changed since it was looked at
    NameRefused, // the target's file system refused the name
    Cancelled,
};

struct FsError
{
    FsFault fault = FsFault::None;
    int code = 0; // errno, or the Windows error number; 0 when the system gave none
    QString detail; // the system's words, as it gave them

    bool failed() const { return fault != FsFault::None; }
};
