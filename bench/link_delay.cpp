// twinfold-link-delay QUEUE MICROSECONDS
//
// Holds every packet that an NFQUEUE rule sends to QUEUE for MICROSECONDS,
// then lets it go, in the order it came: a fixed one-way delay for the
// benchmark's latency link where the kernel has no netem (sch_netem). Prints
// "ready" once the queue is bound, so that the caller adds its rule only
// then (a queue without a listener drops every packet). A number on a line
// of standard input sets a new hold for the packets that come after it.
// SIGTERM, SIGINT or the end of standard input lets the packets still held
// go and ends it; what it saw goes to stderr.

// glibc's netinet/in.h before the kernel's headers, which then step aside.
#include <arpa/inet.h>

#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace {

struct HeldPacket
{
    std::uint32_t id;
    std::int64_t dueNs;
};

struct Delay
{
    std::int64_t delayNs = 0;
    // How late a timed wake-up came, on average: the wait ends that much
    // early, so that packets leave on time on average (20 to 60 µs here).
    std::int64_t wakeLateNs = 0;
    std::int64_t lastDueNs = 0;
    std::deque<HeldPacket> held;
    std::uint64_t packets = 0;
    std::int64_t lateSumNs = 0;
    std::int64_t lateMaxNs = 0;
};

volatile std::sig_atomic_t stopping = 0;

void stop(int)
{
    stopping = 1;
}

std::int64_t nowNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int onPacket(nfq_q_handle *, nfgenmsg *, nfq_data *data, void *context)
{
    auto *delay = static_cast<Delay *>(context);
    const nfqnl_msg_packet_hdr *header = nfq_get_msg_packet_hdr(data);
    if (!header)
        return 0;
    // Never before the packet ahead of it, also after the hold was shortened.
    delay->lastDueNs = std::max(delay->lastDueNs, nowNs() + delay->delayNs);
    delay->held.push_back({ntohl(header->packet_id), delay->lastDueNs});
    return 0;
}

// Lets go every packet whose time has come. One verdict for the lot: the
// kernel numbers a queue's packets in order, and a batch verdict accepts
// every id up to the one given.
bool releaseDue(nfq_q_handle *queue, Delay &delay, bool all)
{
    const std::int64_t now = nowNs();
    std::uint32_t last = 0;
    bool any = false;
    while (!delay.held.empty() && (all || delay.held.front().dueNs - delay.wakeLateNs <= now)) {
        const std::int64_t late = now - delay.held.front().dueNs; // below 0: early
        delay.lateSumNs += late;
        delay.lateMaxNs = std::max(delay.lateMaxNs, late);
        ++delay.packets;
        last = delay.held.front().id;
        delay.held.pop_front();
        any = true;
    }
    return !any || nfq_set_verdict_batch(queue, last, NF_ACCEPT) >= 0;
}

// Reads every message waiting on the socket without blocking.
bool readWaiting(nfq_handle *handle, int fd)
{
    alignas(8) static char buffer[65536];
    for (;;) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            nfq_handle_packet(handle, buffer, int(got));
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return true;
        // ENOBUFS: the socket overflowed and the kernel dropped those
        // packets, as a full link would; TCP sends them again.
        if (got < 0 && errno == ENOBUFS)
            continue;
        std::perror("twinfold-link-delay: recv");
        return false;
    }
}

// Reads the new holds waiting on standard input; false at its end.
bool readHolds(Delay &delay)
{
    static std::string pending;
    char chunk[256];
    const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
    if (got <= 0)
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    pending.append(chunk, size_t(got));
    for (size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        const long long micros = std::atoll(pending.substr(0, end).c_str());
        if (micros >= 0)
            delay.delayNs = std::int64_t(micros) * 1000;
        pending.erase(0, end + 1);
    }
    return true;
}

int fail(const char *what)
{
    std::fprintf(stderr, "twinfold-link-delay: %s: %s\n", what, std::strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: twinfold-link-delay QUEUE MICROSECONDS\n");
        return 2;
    }
    const int queueNumber = std::atoi(argv[1]);
    Delay delay;
    delay.delayNs = std::int64_t(std::atol(argv[2])) * 1000;
    // The default timer slack (50 µs) would be a tenth of a 500 µs delay.
    prctl(PR_SET_TIMERSLACK, 1UL);
    // A link's delay does not grow when the machine is busy; on two cores
    // shared with a copy, sshd and sshfs an ordinary wake-up comes
    // milliseconds late now and then. It sleeps between packets, so a
    // real-time priority takes little from the others.
    sched_param priority {};
    priority.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
        std::perror("twinfold-link-delay: no real-time priority, the delay will vary more");

    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    struct sigaction action
    {
    };
    action.sa_handler = stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigset_t waiting;
    sigemptyset(&waiting);

    nfq_handle *handle = nfq_open();
    if (!handle)
        return fail("nfq_open (is nfnetlink_queue in the kernel?)");
    nfq_q_handle *queue = nfq_create_queue(handle, std::uint16_t(queueNumber), onPacket, &delay);
    if (!queue)
        return fail("nfq_create_queue");
    // Only the verdict is needed, never the payload; large GSO packets are
    // passed whole instead of being cut up for us.
    if (nfq_set_mode(queue, NFQNL_COPY_META, 0) < 0 || nfq_set_queue_maxlen(queue, 65536) < 0
        || nfq_set_queue_flags(queue, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO) < 0)
        return fail("configuring the queue");
    nfnl_rcvbufsiz(nfq_nfnlh(handle), 16 << 20);
    const int fd = nfq_fd(handle);
    std::printf("ready\n");
    std::fflush(stdout);

    bool ok = true;
    bool controlled = true;
    while (ok && controlled && !stopping) {
        timespec timeout {};
        timespec *wait = nullptr;
        std::int64_t wakeAt = 0;
        if (!delay.held.empty()) {
            wakeAt = delay.held.front().dueNs - delay.wakeLateNs;
            const std::int64_t left = std::max<std::int64_t>(0, wakeAt - nowNs());
            timeout.tv_sec = time_t(left / 1000000000);
            timeout.tv_nsec = long(left % 1000000000);
            wait = &timeout;
        }
        pollfd watched[2] {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int ready = ppoll(watched, 2, wait, &waiting);
        if (ready < 0 && errno != EINTR)
            ok = false;
        if (ready == 0 && wait) {
            const std::int64_t late = nowNs() - wakeAt;
            delay.wakeLateNs = std::clamp<std::int64_t>(
                    delay.wakeLateNs + (late - delay.wakeLateNs) / 8, 0, delay.delayNs / 2);
        }
        if (ready > 0 && (watched[0].revents & POLLIN))
            ok = readWaiting(handle, fd);
        if (ready > 0 && (watched[1].revents & (POLLIN | POLLHUP)))
            controlled = readHolds(delay);
        ok = ok && releaseDue(queue, delay, false);
    }
    releaseDue(queue, delay, true);
    std::fprintf(stderr,
                 "twinfold-link-delay: queue %d: %llu packets held %lld us, let go %.1f us after "
                 "their time on average, %.1f us at most\n",
                 queueNumber, static_cast<unsigned long long>(delay.packets),
                 static_cast<long long>(delay.delayNs / 1000),
                 delay.packets ? double(delay.lateSumNs) / double(delay.packets) / 1000 : 0.0,
                 double(delay.lateMaxNs) / 1000);
    nfq_destroy_queue(queue);
    nfq_close(handle);
    return ok ? 0 : 1;
}
