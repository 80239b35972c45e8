#pragma once

#include "sync/file_system.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <vector>

// Works on open directory descriptors: every name is looked up in the
// directory the walk holds open, never through a path that a link planted in
// the tree could redirect. Files are written into an unnamed temporary where
// the kernel has one (O_TMPFILE), given their time and mode, and linked or
// renamed into place; nothing is flushed per file, the touched file systems
// are flushed once by flush().
class PosixFileSystem : public FileSystem
{
public:
    PosixFileSystem();
    ~PosixFileSystem() override;

    OpenResult openRoot(const QString &path, Directory *dir, QString *error) override;
    bool makeRoot(const QString &path, Directory *dir, QString *error) override;
    bool list(const Directory &dir, std::vector<DirectoryEntry> *entries, QString *error) override;
    EntryStatus status(const Directory &dir, const DirectoryEntry &entry,
                       bool followLinks) override;
    OpenResult openChild(const Directory &dir, const DirectoryEntry &entry, Directory *child,
                         QString *error) override;
    bool makeChild(const Directory &dir, const DirectoryEntry &entry, QString *error) override;
    bool sameDirectory(const Directory &a, const Directory &b) override;
    CopyResult copyFile(const Directory &from, const DirectoryEntry &entry, const Directory &into,
                        const CopyRequest &request, QString *error) override;
    CopyMark readMark(const Directory &dir, const DirectoryEntry &entry) override;
    bool probeClock(const Directory &dir, bool learnTraits, TreeClock *clock,
                    QString *error) override;
    bool flush(QString *error) override;

private:
    int createTemporary(int dirFd, const QByteArray &temporaryName, mode_t mode, bool *unnamed,
                        int *error);
    void setMark(int fd, dev_t device, const QByteArray &mark);
    int copyContent(int in, int out, const std::atomic<bool> *cancel);
    bool isSparse(const struct stat &source);
    int copySparse(int in, int out, off_t size, const std::atomic<bool> *cancel);
    int place(int out, bool unnamed, int dirFd, const QByteArray &name,
              const QByteArray &temporaryName, Placement placement, const EntryStatus &replaced);
    int linkUnnamed(int out, int dirFd, const QByteArray &name);
    void rememberDevice(const Directory &into);
    void learnTraitsFrom(int dirFd, const QByteArray &name, const struct stat &kept,
                         TreeClock *clock);
    bool restampsOnRename(dev_t device) const;

    bool unnamedTemporaries = true; // cleared once the kernel or file system refuses them
    bool linkByEmptyPath = true; // cleared once linkat(AT_EMPTY_PATH) is refused
    bool copyRange = true; // cleared once copy_file_range is refused
    bool sparseSeek = true; // cleared once SEEK_DATA is refused
    bool renameNoReplace = true; // cleared once renameat2(RENAME_NOREPLACE) is refused
    std::vector<char> buffer;
    std::vector<std::pair<dev_t, int>> written; // one descriptor per file system written to
    std::vector<dev_t> restampingDevices; // file systems that give a renamed file a new time
    std::vector<dev_t> unmarkedDevices; // file systems that keep no extended attributes
};
