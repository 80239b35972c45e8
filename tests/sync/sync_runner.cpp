// twinfold-sync-runner: runs one direction of a sync (or a bare directory
// copy) between two directories in a process of its own, so that tests can
// kill it, limit it or run it as another user.
//
//   twinfold-sync-runner upload|download|copy LOCAL REMOTE
//                        [--since MS] [--pattern P] [--record FILE] [--fsize-limit BYTES]
//                        [--user NAME]
//
// Every event goes to standard output as soon as it happens, one line each
// as support/events.h writes it ("Copied a.txt", "Completed stamp=…"). Exit code
// 0: the run completed; 1: it did not; 2: bad arguments or a setup step
// (limit, user change) that did not take effect.

#include "settings/record_location.h"
#include "support/events.h"
#include "sync/job/sync_job.h"
#include "sync/walk/directory_copy.h"
#include "sync/walk/live_text.h"

#include <QCoreApplication>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

struct Options
{
    std::string mode;
    std::string local;
    std::string remote;
    qint64 since = 0;
    std::string pattern;
    std::string record;
    long long fsizeLimit = -1;
    std::string user;
};

int usage(const char *why)
{
    std::fprintf(stderr,
                 "twinfold-sync-runner: %s\n"
                 "usage: twinfold-sync-runner upload|download|copy LOCAL REMOTE [--since MS] "
                 "[--pattern P] [--record FILE] [--fsize-limit BYTES] [--user NAME]\n",
                 why);
    return 2;
}

bool parseNumber(const char *text, long long *value)
{
    char *end = nullptr;
    errno = 0;
    *value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == 0;
}

bool parse(int argc, char **argv, Options *options, const char **why)
{
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--since" || arg == "--fsize-limit") {
            long long value = 0;
            if (!hasValue || !parseNumber(argv[++i], &value)) {
                *why = "a number must follow --since and --fsize-limit";
                return false;
            }
            if (arg == "--since")
                options->since = value;
            else
                options->fsizeLimit = value;
        } else if (arg == "--pattern" || arg == "--user" || arg == "--record") {
            if (!hasValue) {
                *why = "a value must follow --pattern, --record and --user";
                return false;
            }
            (arg == "--pattern" ? options->pattern
             : arg == "--user"  ? options->user
                                : options->record)
                    = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            *why = "unknown option";
            return false;
        } else {
            std::string *fields[] = {&options->mode, &options->local, &options->remote};
            if (positional >= 3) {
                *why = "too many arguments";
                return false;
            }
            *fields[positional++] = arg;
        }
    }
    if (positional != 3) {
        *why = "a mode and two directories are needed";
        return false;
    }
    if (options->mode != "upload" && options->mode != "download" && options->mode != "copy") {
        *why = "the mode is upload, download or copy";
        return false;
    }
    return true;
}

// A write past the limit then fails with EFBIG instead of killing the process.
bool limitFileSize(long long bytes)
{
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit {rlim_t(bytes), rlim_t(bytes)};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        std::perror("twinfold-sync-runner: setrlimit");
        return false;
    }
    rlimit now {};
    return ::getrlimit(RLIMIT_FSIZE, &now) == 0 && now.rlim_cur == rlim_t(bytes);
}

// Gives up every privilege for good: no supplementary groups, the user's
// group and user ids (real, effective and saved). True only when it took.
bool becomeUser(const std::string &name)
{
    const passwd *user = ::getpwnam(name.c_str());
    if (!user) {
        std::fprintf(stderr, "twinfold-sync-runner: no user %s\n", name.c_str());
        return false;
    }
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
        std::perror("twinfold-sync-runner: changing user");
        return false;
    }
    uid_t real = 0, effective = 0, saved = 0;
    gid_t realGroup = 0, effectiveGroup = 0, savedGroup = 0;
    if (::getresuid(&real, &effective, &saved) != 0
        || ::getresgid(&realGroup, &effectiveGroup, &savedGroup) != 0)
        return false;
    if (real != uid || effective != uid || saved != uid || realGroup != gid || effectiveGroup != gid
        || savedGroup != gid || ::getgroups(0, nullptr) != 0) {
        std::fprintf(stderr, "twinfold-sync-runner: the user change did not take effect\n");
        return false;
    }
    // Root cannot be regained unless the new user is root itself.
    if (uid != 0 && ::setuid(0) == 0) {
        std::fprintf(stderr, "twinfold-sync-runner: root privileges are still there\n");
        return false;
    }
    // The kernel marks a process that changed its user as not dumpable, which
    // makes its /proc entries root's; a user's own process is not like that.
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    return true;
}

void print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// One line an event, as tests compare them (support/events.h), with what
// the job's own events carry.
void printEvent(const SyncEvent &event, const QString &sourceRoot)
{
    QString line = brief(event, sourceRoot);
    switch (event.kind) {
    case EventKind::Started:
        line += QStringLiteral(" since=%1 start=%2").arg(event.since).arg(event.time);
        break;
    case EventKind::Completed: line += QStringLiteral(" stamp=%1").arg(event.time); break;
    case EventKind::Incomplete:
        line += QStringLiteral(" failures=%1 kept=%2").arg(event.failures).arg(event.since);
        break;
    default: break;
    }
    print(line);
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    const char *why = nullptr;
    if (!parse(argc, argv, &options, &why))
        return usage(why);
    if (options.fsizeLimit >= 0 && !limitFileSize(options.fsizeLimit))
        return usage("the file size limit did not take effect");
    if (!options.user.empty() && !becomeUser(options.user))
        return usage("refusing to run without the requested user change");

    QCoreApplication app(argc, argv);
    const QString local = QFile::decodeName(options.local.c_str());
    const QString remote = QFile::decodeName(options.remote.c_str());
    LiveText localDir(local);
    LiveText remoteDir(remote);
    LiveText pattern(QString::fromLocal8Bit(options.pattern.c_str()));

    if (options.mode == "copy") {
        DirectoryCopy copy({pattern, [&local](const SyncEvent &event) {
                                printEvent(event, local);
                            }});
        const CopyReport report = copy.run(local, remote, true, options.since);
        print(QStringLiteral("copied %1, failures %2, source found %3")
                      .arg(report.copied)
                      .arg(report.failures)
                      .arg(report.sourceFound ? 1 : 0));
        return report.complete() ? 0 : 1;
    }

    const bool upload = options.mode == "upload";
    const QString source = upload ? local : remote;
    // The program's own record unless told otherwise: chained runs remember
    // what the earlier ones put in step, as the window's do.
    const QString record
            = options.record.empty() ? syncRecordFile() : QFile::decodeName(options.record.c_str());
    SyncJob job({localDir, remoteDir, pattern, nullptr, record},
                [&source](const SyncEvent &event) { printEvent(event, source); });
    const SyncOutcome outcome
            = job.run(upload ? SyncDirection::Upload : SyncDirection::Download, options.since);
    return outcome.completed ? 0 : 1;
}
