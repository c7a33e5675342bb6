// Start-up probe: launches a program and measures the time from launch to
// the first screen on which the mascot's body colour (183, 163, 245) covers
// at least --pixels pixels of the middle band of the root window (where the
// mascot is created: the centre of the screen, falling from there). The root
// window shows what a user sees: the composited screen with a compositing
// manager, the cut window's pixels without one.
//
//   bench_startup_probe [--pixels N] [--timeout S] -- program [args...]
//
// Prints "startup_ms <ms> polls <n>" and stops the program with SIGINT
// (SIGKILL after 5 s). The screen is read every 2 ms; each read costs about
// a millisecond, so the figure is good to a few milliseconds.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

static double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

static int mascot_pixels(Display* dpy, Window root, int x0, int width, int height) {
    XImage* img = XGetImage(dpy, root, x0, 0, width, height, AllPlanes, ZPixmap);
    if (!img) return 0;
    int n = 0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            unsigned long p = XGetPixel(img, x, y);
            if (((p & img->red_mask) >> 16) == 183 && ((p & img->green_mask) >> 8) == 163 && (p & img->blue_mask) == 245)
                n++;
        }
    }
    XDestroyImage(img);
    return n;
}

static void stop_child(pid_t pid) {
    kill(pid, SIGINT);
    auto t0 = std::chrono::steady_clock::now();
    while (ms_since(t0) < 5000) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

int main(int argc, char** argv) {
    int need = 200;
    double timeout_s = 10;
    int i = 1;
    for (; i < argc; i++) {
        if (std::strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
        if (std::strcmp(argv[i], "--pixels") == 0 && i + 1 < argc) need = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) timeout_s = std::atof(argv[++i]);
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: %s [--pixels N] [--timeout S] -- program [args...]\n", argv[0]);
        return 2;
    }
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    Window root = DefaultRootWindow(dpy);
    int W = DisplayWidth(dpy, DefaultScreen(dpy)), H = DisplayHeight(dpy, DefaultScreen(dpy));
    int band = 320 < W ? 320 : W;
    int x0 = (W - band) / 2;
    if (mascot_pixels(dpy, root, x0, band, H) >= need) {
        std::fprintf(stderr, "the mascot's colour is on the screen before the launch\n");
        return 2;
    }

    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        // The program's own lines would mix with the probe's answer.
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0) {
            dup2(null_fd, STDOUT_FILENO);
            dup2(null_fd, STDERR_FILENO);
        }
        execvp(argv[i], argv + i);
        _exit(127);
    }
    int polls = 0;
    double found = -1;
    while (ms_since(t0) < timeout_s * 1000) {
        polls++;
        if (mascot_pixels(dpy, root, x0, band, H) >= need) {
            found = ms_since(t0);
            break;
        }
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (pid > 0) stop_child(pid);
    XCloseDisplay(dpy);
    if (found < 0) {
        std::printf("startup_ms none polls %d\n", polls);
        return 1;
    }
    std::printf("startup_ms %.1f polls %d\n", found, polls);
    return 0;
}
