// Start-up cost of relvix against a bare Qt main window of the same client size, built with
// the same Qt (startup_bare): time from launch to the window being visible, and resident
// memory once it shows. Starts are interleaved round by round so that a busy machine slows
// every program alike; the figures are medians, the ratios are relvix over the bare window.
//
// Run it on an X server without a window manager, e.g.
//   scripts/loopback-only xvfb-run -a -s "-screen 0 1024x768x24" build/bench/startup_bench [ROUNDS [PROGRAM...]]
// Each further PROGRAM (another build of relvix, say) is started in English alongside.
//
// "Mapped" is the X server's MapNotify of the program's top-level window. "Visible" is the first
// moment after that at which the window's pixels differ from what they were when it was mapped
// (a row across the middle and one down the centre), i.e. its first paint has reached the
// screen. RSS is VmRSS from /proc a settling time after that (every start-up thread done).
// relvix runs twice a round: in English, and on a machine without settings (Traditional
// Chinese, whose font is larger to load). Each gets a settings folder of its own; nothing is
// opened or sent: start-up opens no link.
// Prints figures; never fails.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Program {
    std::string label;
    std::string path;
    std::string configHome; // empty: leave XDG_CONFIG_HOME alone
};

struct Sample {
    double mappedMs = -1;
    double visibleMs = -1;
    double rssMb = -1;
};

struct Figures {
    std::vector<double> mapped, visible, rss;
};

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double rssMb(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return -1;
}

// The pixels that tell a painted window from a freshly mapped one.
std::vector<uint8_t> probe(xcb_connection_t *x, xcb_window_t window, uint16_t width, uint16_t height)
{
    std::vector<uint8_t> pixels;
    const xcb_get_image_cookie_t cookies[] = {
        xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 0, int16_t(height / 2), width, 1, ~0u),
        xcb_get_image(x, XCB_IMAGE_FORMAT_Z_PIXMAP, window, int16_t(width / 2), 0, 1, height, ~0u),
    };
    for (const xcb_get_image_cookie_t &cookie : cookies) {
        xcb_get_image_reply_t *reply = xcb_get_image_reply(x, cookie, nullptr);
        if (!reply)
            continue;
        const uint8_t *data = xcb_get_image_data(reply);
        pixels.insert(pixels.end(), data, data + xcb_get_image_data_length(reply));
        free(reply);
    }
    return pixels;
}

Sample startOnce(xcb_connection_t *x, const Program &program)
{
    Sample sample;
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        close(xcb_get_file_descriptor(x));
        if (!program.configHome.empty()) {
            setenv("XDG_CONFIG_HOME", program.configHome.c_str(), 1);
            setenv("XDG_CONFIG_DIRS", (program.configHome + "/none").c_str(), 1);
        }
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(program.path.c_str(), program.path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }

    // Wait for the top-level window to be mapped; menus and tips are override-redirect.
    xcb_window_t window = XCB_NONE;
    while (window == XCB_NONE && msSince(start) < 20000) {
        pollfd fd{xcb_get_file_descriptor(x), POLLIN, 0};
        poll(&fd, 1, 50);
        while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
            if ((event->response_type & 0x7f) == XCB_MAP_NOTIFY) {
                auto *map = reinterpret_cast<xcb_map_notify_event_t *>(event);
                if (!map->override_redirect && window == XCB_NONE) {
                    window = map->window;
                    sample.mappedMs = msSince(start);
                }
            }
            free(event);
        }
    }
    if (window != XCB_NONE) {
        xcb_get_geometry_reply_t *geometry = xcb_get_geometry_reply(x, xcb_get_geometry(x, window), nullptr);
        if (geometry) {
            const std::vector<uint8_t> asMapped = probe(x, window, geometry->width, geometry->height);
            while (msSince(start) < 20000) {
                if (probe(x, window, geometry->width, geometry->height) != asMapped) {
                    sample.visibleMs = msSince(start);
                    break;
                }
                usleep(1000);
            }
            free(geometry);
        }
        // Threads and deferred work of start-up have long finished after this.
        usleep(1500 * 1000);
        sample.rssMb = rssMb(pid);
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    // Drain the unmap and destroy events of this start.
    xcb_flush(x);
    usleep(100 * 1000);
    while (xcb_generic_event_t *event = xcb_poll_for_event(x))
        free(event);
    return sample;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    xcb_connection_t *x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x)) {
        std::fprintf(stderr, "startup_bench: no X display (run it under xvfb-run)\n");
        return 0;
    }
    xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(x)).data;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);

    QTemporaryDir english, fresh;
    QDir().mkpath(english.filePath(QStringLiteral("Kavrel")));
    QFile conf(english.filePath(QStringLiteral("Kavrel/Relvix.conf")));
    if (conf.open(QIODevice::WriteOnly))
        conf.write("[General]\nNetIP=127.0.0.1\nLanguageFlag=English\n");
    conf.close();

    std::vector<Program> programs{
        {"bare Qt main window", RELVIX_BARE_WINDOW, ""},
        {"relvix, English", RELVIX_PROGRAM, english.path().toStdString()},
        {"relvix, no settings", RELVIX_PROGRAM, fresh.path().toStdString()},
    };
    for (int i = 2; i < argc; ++i)
        programs.push_back({std::string(argv[i]) + ", English", argv[i], english.path().toStdString()});
    std::vector<Figures> figures(programs.size());
    // One start of each before counting: the files are then in the page cache for all.
    for (const Program &p : programs)
        startOnce(x, p);
    for (int round = 0; round < rounds; ++round) {
        for (size_t i = 0; i < programs.size(); ++i) {
            // Rotate the order so that no program always follows the same one.
            const size_t k = (i + size_t(round)) % programs.size();
            const Sample s = startOnce(x, programs[k]);
            if (s.mappedMs >= 0)
                figures[k].mapped.push_back(s.mappedMs);
            if (s.visibleMs >= 0)
                figures[k].visible.push_back(s.visibleMs);
            if (s.rssMb >= 0)
                figures[k].rss.push_back(s.rssMb);
        }
    }

    std::printf("medians of %d interleaved starts\n", rounds);
    std::printf("%-28s %10s %10s %9s %12s %9s\n", "", "mapped ms", "visible ms", "RSS MB", "visible x", "RSS x");
    const double bareVisible = median(figures[0].visible);
    const double bareRss = median(figures[0].rss);
    for (size_t i = 0; i < programs.size(); ++i) {
        const double visible = median(figures[i].visible);
        const double rss = median(figures[i].rss);
        std::printf("%-28s %10.0f %10.0f %9.1f %11.2fx %8.2fx\n", programs[i].label.c_str(), median(figures[i].mapped),
                    visible, rss, visible / bareVisible, rss / bareRss);
    }
    xcb_disconnect(x);
    return 0;
}
