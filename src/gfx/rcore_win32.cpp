// Window, frame pacing and input (raylib's rcore) for Windows, on Win32 and
// WGL: the counterpart of rcore.cpp + x11_bridge.cpp, with the same
// observable behaviour. Main thread only: the window and its messages belong
// to the thread that called InitWindow.
//
// How the overlay stands on a Windows desktop:
// - One WS_POPUP window over the virtual screen (every monitor), with
//   WS_EX_TOOLWINDOW (never in the taskbar or Alt-Tab), WS_EX_TOPMOST and
//   WS_EX_NOACTIVATE (clicks do not take the keyboard from the user's window).
// - Transparency: a pixel format with 8 alpha bits and DWM's blur-behind
//   with an empty region, which makes DWM compose the client area with the
//   framebuffer's own alpha (no blur is drawn: the region is empty). Tried
//   before DwmExtendFrameIntoClientArea(-1), which also does per-pixel alpha
//   but puts a popup on DWM's glass path; blur-behind is what GLFW does for a
//   transparent framebuffer.
// - Click-through: WS_EX_LAYERED | WS_EX_TRANSPARENT is what makes Windows's
//   hit test skip a window. WS_EX_LAYERED is set from the start (with
//   LWA_ALPHA 255, so nothing fades) and stays, so that switching
//   click-through touches only WS_EX_TRANSPARENT and DWM never rebuilds the
//   window's surface. Windows has no input shape: gfx_set_input_region keeps
//   the rectangles, and every frame the window takes the pointer exactly
//   while the global cursor (GetCursorPos) lies in one of them.
// - The process is made per-monitor DPI aware, so that Windows neither
//   scales the window's pixels nor lies about sizes; the layer's own scale
//   (gfx_set_scale) does the enlarging, in whole pixels.
//
// <windows.h> declares a function Rectangle (and CloseWindow) beside
// raylib's names: raylib's headers come first, and after <windows.h> this
// file names raylib's record `struct Rectangle`.
#include "gfx/gfx_ext.h"
#include "gfx/gfx_internal.h"
#include "gfx/raylib.h"

#include <windows.h>
#include <dwmapi.h>
#include <mmsystem.h>
#include <versionhelpers.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>


// The backend's window record; GLFWwindow is its name to the rest of the layer
// (GfxWindow outside it).
struct GLFWwindow {
    HWND hwnd;        // the overlay window
    HDC dc;           // its device context (CS_OWNDC: valid for the window's life)
    HGLRC context;    // WGL context, current on the main thread while the window exists
};

GLFWwindow* GFX_WINDOW = nullptr;

namespace {

constexpr wchar_t kClassName[] = L"GfxOverlayWindow";
constexpr DWORD kPfdSupportComposition = 0x00008000;   // PFD_SUPPORT_COMPOSITION: DWM may compose it
constexpr DWORD kWaitableTimerHighResolution = 0x2;     // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803+)
constexpr LONG_PTR kDpiPerMonitorV2 = -4;               // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2

GLFWwindow WINDOW = {};           // storage for GFX_WINDOW while a window exists
unsigned int CONFIG_FLAGS = 0;    // SetConfigFlags, applied by InitWindow
unsigned int STATE_FLAGS = 0;     // flags currently in force
// Rectangles of the input region as last set, physical client pixels, x, y,
// w, h each; only read while INPUT_RECTS > 0.
std::vector<int> INPUT_XYWH;
// Rectangles in the input region; -1 = the whole window takes the pointer,
// 0 = none of it. FLAG_WINDOW_MOUSE_PASSTHROUGH is in STATE_FLAGS exactly
// while this is not -1.
int INPUT_RECTS = -1;
bool CLICK_THROUGH = false;       // WS_EX_TRANSPARENT is set on the window now
// Window shape as last set (gfx_set_window_shape), physical pixels; empty
// and SHAPED false for the plain rectangle.
std::vector<int> SHAPE_XYWH;
bool SHAPED = false;
bool CLOSE_REQUESTED = false;     // WM_CLOSE arrived
bool CLOSE_KEY_SEEN = false;      // Escape went down while the window had the keyboard
bool FOCUSABLE = false;           // the window may take the keyboard (gfx_set_window_focusable)
HWND FOCUS_BEFORE = nullptr;      // foreground window when the overlay asked for the keyboard; null = none
wchar_t HIGH_SURROGATE = 0;       // first half of a UTF-16 pair from WM_CHAR, 0 when none pending
int BUTTONS_HELD = 0;             // mouse buttons down on the window (mouse capture while > 0)
void (*DISPLAY_LOST)(void) = nullptr;  // kept for parity with X11; Windows has no display to lose
LARGE_INTEGER CLOCK_ORIGIN = {};  // QueryPerformanceCounter at InitWindow
double CLOCK_FREQUENCY = 1.0;     // counts per second
HANDLE FRAME_TIMER = nullptr;     // waitable timer for the frame wait
bool COARSE_TIMER = false;        // FRAME_TIMER is not high-resolution: timeBeginPeriod(1) is in force

// ---- Small helpers ----------------------------------------------------------------------

std::wstring widen(const char* utf8) {
    if (!utf8 || !*utf8) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    out.resize((size_t)n - 1);
    return out;
}

double clock_now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - CLOCK_ORIGIN.QuadPart) / CLOCK_FREQUENCY;
}

void sleep_seconds(double s) {
    if (s <= 0) return;
    if (FRAME_TIMER) {
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)(s * 1e7);  // relative, 100 ns units
        if (SetWaitableTimer(FRAME_TIMER, &due, 0, nullptr, nullptr, FALSE)) {
            WaitForSingleObject(FRAME_TIMER, INFINITE);
            return;
        }
    }
    Sleep((DWORD)(s * 1000.0));
}

LONG_PTR ex_style() {
    return GetWindowLongPtrW(WINDOW.hwnd, GWL_EXSTYLE);
}

void set_ex_style_bits(LONG_PTR bits, bool on) {
    LONG_PTR style = ex_style();
    LONG_PTR next = on ? (style | bits) : (style & ~bits);
    if (next != style) SetWindowLongPtrW(WINDOW.hwnd, GWL_EXSTYLE, next);
}

void set_click_through(bool on) {
    if (!GFX_WINDOW || on == CLICK_THROUGH) return;
    set_ex_style_bits(WS_EX_TRANSPARENT, on);
    CLICK_THROUGH = on;
}

// The pointer lies in one of the input region's rectangles (client pixels).
bool cursor_in_region() {
    POINT p;
    if (!GetCursorPos(&p) || !ScreenToClient(WINDOW.hwnd, &p)) return false;
    for (int i = 0; i < INPUT_RECTS; i++) {
        const int* r = &INPUT_XYWH[4 * (size_t)i];
        if (p.x >= r[0] && p.y >= r[1] && p.x < r[0] + r[2] && p.y < r[1] + r[3]) return true;
    }
    return false;
}

// Windows's stand-in for an input shape, applied every frame and whenever
// the region changes: click-through unless the pointer is where the window
// takes it. A button held on the window keeps it, so a drag that outruns the
// region is not cut in two.
void update_click_through() {
    if (!GFX_WINDOW) return;
    bool through;
    if (INPUT_RECTS < 0)
        through = false;
    else if (INPUT_RECTS == 0)
        through = true;
    else
        through = BUTTONS_HELD == 0 && !cursor_in_region();
    set_click_through(through);
}

// Drop empty rectangles, as the X server does.
std::vector<int> non_empty(const std::vector<int>& xywh) {
    std::vector<int> kept;
    for (size_t i = 0; i + 3 < xywh.size(); i += 4)
        if (xywh[i + 2] > 0 && xywh[i + 3] > 0) kept.insert(kept.end(), xywh.begin() + (long)i, xywh.begin() + (long)i + 4);
    return kept;
}

// GLFW's key code for a virtual key (the codes raylib's KEY_* use); -1 for
// keys the program has no name for.
int glfw_key(WPARAM vk, LPARAM lParam) {
    const bool extended = (lParam >> 24) & 1;
    if (vk >= 'A' && vk <= 'Z') return (int)vk;        // GLFW_KEY_A.. match ASCII
    if (vk >= '0' && vk <= '9') return (int)vk;
    if (vk >= VK_F1 && vk <= VK_F12) return 290 + (int)(vk - VK_F1);
    switch (vk) {
    case VK_SPACE: return 32;
    case VK_ESCAPE: return 256;
    case VK_RETURN: return extended ? 335 : 257;       // keypad Enter is GLFW_KEY_KP_ENTER
    case VK_TAB: return 258;
    case VK_BACK: return 259;
    case VK_INSERT: return 260;
    case VK_DELETE: return 261;
    case VK_RIGHT: return 262;
    case VK_LEFT: return 263;
    case VK_DOWN: return 264;
    case VK_UP: return 265;
    case VK_PRIOR: return 266;
    case VK_NEXT: return 267;
    case VK_HOME: return 268;
    case VK_END: return 269;
    default: return -1;
    }
}

// One UTF-16 unit of typed text; pairs become one code point. Control
// characters (Backspace, Enter, Escape, Ctrl+letters) are keys, not text,
// as GLFW's character events leave them out.
void typed_unit(wchar_t unit) {
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        HIGH_SURROGATE = unit;
        return;
    }
    int codepoint = unit;
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        if (!HIGH_SURROGATE) return;  // half a pair: nothing typable
        codepoint = 0x10000 + (((int)HIGH_SURROGATE - 0xD800) << 10) + ((int)unit - 0xDC00);
    }
    HIGH_SURROGATE = 0;
    if (codepoint < 32 || (codepoint > 126 && codepoint < 160)) return;
    gfx_input_char(codepoint);
}

void mouse_button(HWND hwnd, int button, bool down) {
    // Capture keeps the release (and motion) coming when it happens off the window.
    if (down) {
        if (BUTTONS_HELD++ == 0) SetCapture(hwnd);
    } else if (BUTTONS_HELD > 0 && --BUTTONS_HELD == 0) {
        ReleaseCapture();
    }
    gfx_input_button(button, down);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_MOUSEACTIVATE:
        // A click on the overlay leaves the keyboard where it is, unless text entry asked for it.
        return FOCUSABLE ? MA_ACTIVATE : MA_NOACTIVATE;
    case WM_MOUSEMOVE:
        gfx_input_cursor((double)(short)LOWORD(lParam), (double)(short)HIWORD(lParam));
        return 0;
    case WM_LBUTTONDOWN: mouse_button(hwnd, MOUSE_BUTTON_LEFT, true); return 0;
    case WM_LBUTTONUP: mouse_button(hwnd, MOUSE_BUTTON_LEFT, false); return 0;
    case WM_RBUTTONDOWN: mouse_button(hwnd, MOUSE_BUTTON_RIGHT, true); return 0;
    case WM_RBUTTONUP: mouse_button(hwnd, MOUSE_BUTTON_RIGHT, false); return 0;
    case WM_MBUTTONDOWN: mouse_button(hwnd, MOUSE_BUTTON_MIDDLE, true); return 0;
    case WM_MBUTTONUP: mouse_button(hwnd, MOUSE_BUTTON_MIDDLE, false); return 0;
    case WM_CAPTURECHANGED:
        BUTTONS_HELD = 0;
        return 0;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: {
        if (lParam & (1 << 30)) break;  // auto-repeat: the key was already down
        int key = glfw_key(wParam, lParam);
        if (key >= 0) gfx_input_key(key);
        // Keys reach only the window with the keyboard: "Escape while it had the keyboard".
        if (key == KEY_ESCAPE) CLOSE_KEY_SEEN = true;
        break;
    }
    case WM_CHAR:
        typed_unit((wchar_t)wParam);
        return 0;
    case WM_UNICHAR:
        if (wParam == UNICODE_NOCHAR) return TRUE;  // yes, this window takes UTF-32 characters
        if (wParam >= 32 && !(wParam > 126 && wParam < 160)) gfx_input_char((int)wParam);
        return 0;
    case WM_CLOSE:
        // Like X11's WM_DELETE_WINDOW: the program decides (WindowShouldClose).
        CLOSE_REQUESTED = true;
        return 0;
    case WM_ENDSESSION:
        // Log-off or shutdown. A program with windows hears of it here, not in
        // its console handler, and may be ended as soon as this returns: the
        // session is the display it loses, so the same handler runs now (it
        // saves what must be kept and ends the process).
        if (wParam && DISPLAY_LOST) {
            std::printf("The Windows session is ending\n");
            std::fflush(stdout);
            DISPLAY_LOST();
        }
        return 0;
    case WM_ERASEBKGND:
        return 1;  // GL paints every pixel; a GDI erase would only flash
    case WM_PAINT:
        // Windows asks for pixels it no longer has: the next frame is drawn
        // even when it matches the last one.
        gfx_request_redraw();
        ValidateRect(hwnd, nullptr);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void pump_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);  // WM_KEYDOWN -> WM_CHAR
        DispatchMessageW(&msg);
    }
}

void make_dpi_aware() {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    typedef BOOL(WINAPI * ContextFn)(HANDLE);
    ContextFn setContext = user32 ? (ContextFn)(void*)GetProcAddress(user32, "SetProcessDpiAwarenessContext") : nullptr;
    if (setContext && setContext((HANDLE)kDpiPerMonitorV2)) return;
    SetProcessDPIAware();  // Windows before 10 1703: system aware
}

// The pixel format with 8 alpha bits that DWM can compose, double-buffered;
// a driver's format is preferred to Microsoft's software one. 0 when none.
int choose_pixel_format(HDC dc) {
    PIXELFORMATDESCRIPTOR pfd;
    const int count = DescribePixelFormat(dc, 1, sizeof pfd, &pfd);
    int best = 0, bestScore = -1;
    for (int i = 1; i <= count; i++) {
        if (!DescribePixelFormat(dc, i, sizeof pfd, &pfd)) continue;
        const DWORD needed = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
        if ((pfd.dwFlags & needed) != needed || pfd.iPixelType != PFD_TYPE_RGBA || pfd.cColorBits < 24) continue;
        int score = 0;
        if (pfd.cAlphaBits >= 8) score += 8;
        if (pfd.dwFlags & kPfdSupportComposition) score += 4;
        if (!(pfd.dwFlags & PFD_GENERIC_FORMAT)) score += 2;
        if (pfd.cDepthBits == 0 && pfd.cStencilBits == 0) score += 1;  // the layer draws flat
        if (score > bestScore) {
            best = i;
            bestScore = score;
        }
    }
    return best;
}

// Per-pixel alpha through DWM: blur-behind over an empty region.
void enable_transparency(HWND hwnd) {
    HRGN empty = CreateRectRgn(0, 0, -1, -1);
    DWM_BLURBEHIND blur = {};
    blur.dwFlags = DWM_BB_ENABLE | DWM_BB_BLURREGION;
    blur.fEnable = TRUE;
    blur.hRgnBlur = empty;
    DwmEnableBlurBehindWindow(hwnd, &blur);
    DeleteObject(empty);
}

void start_frame_timer() {
    QueryPerformanceFrequency(&CLOCK_ORIGIN);
    CLOCK_FREQUENCY = (double)CLOCK_ORIGIN.QuadPart;
    QueryPerformanceCounter(&CLOCK_ORIGIN);
    FRAME_TIMER = CreateWaitableTimerExW(nullptr, nullptr, kWaitableTimerHighResolution, TIMER_ALL_ACCESS);
    COARSE_TIMER = FRAME_TIMER == nullptr;
    if (COARSE_TIMER) {
        // Older systems (and Wine): a plain timer, whose waits end on the
        // system tick, made 1 ms while the window is open.
        FRAME_TIMER = CreateWaitableTimerW(nullptr, TRUE, nullptr);
        timeBeginPeriod(1);
    }
}

void stop_frame_timer() {
    if (FRAME_TIMER) CloseHandle(FRAME_TIMER);
    FRAME_TIMER = nullptr;
    if (COARSE_TIMER) timeEndPeriod(1);
    COARSE_TIMER = false;
}

void set_topmost(bool on) {
    SetWindowPos(WINDOW.hwnd, on ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

}  // namespace

// ---- Window and frame ----------------------------------------------------------

void SetConfigFlags(unsigned int flags) {
    CONFIG_FLAGS = flags;
}

void InitWindow(int width, int height, const char* title) {
    if (GFX_WINDOW) return;
    make_dpi_aware();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_OWNDC;  // WGL needs the DC to keep its pixel format
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        std::printf("Win32: could not register the window class (error %lu)\n", GetLastError());
        std::fflush(stdout);
        return;
    }

    // 0 x 0 asks for the whole virtual screen: every monitor, whose union may
    // begin left of or above the primary monitor's origin. Screen pixels
    // count from that corner, as X11's from the root's (platform.h agrees),
    // so "at 0, 0" is there for any size.
    const int x = GetSystemMetrics(SM_XVIRTUALSCREEN), y = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int screenW = GetSystemMetrics(SM_CXVIRTUALSCREEN), screenH = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (width <= 0) width = screenW;
    if (height <= 0) height = screenH;
    if (width <= 0) width = 800;
    if (height <= 0) height = 450;
    // An overlay as large as the screen or a monitor shows no title bar whether or not it asked.
    const bool monitorSized = (width == GetSystemMetrics(SM_CXSCREEN) && height == GetSystemMetrics(SM_CYSCREEN)) ||
                              (width == screenW && height == screenH);
    const bool undecorated = (CONFIG_FLAGS & FLAG_WINDOW_UNDECORATED) || monitorSized;

    DWORD style = WS_CLIPSIBLINGS | WS_CLIPCHILDREN | (undecorated ? WS_POPUP : (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
    // Out of the taskbar and Alt-Tab, never activated by a click; layered so
    // that WS_EX_TRANSPARENT can make it click-through (see the top).
    DWORD exStyle = WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE | WS_EX_LAYERED;
    if (CONFIG_FLAGS & FLAG_WINDOW_TOPMOST) exStyle |= WS_EX_TOPMOST;
    // The pointer passes from the first moment, before any frame sets a region.
    if (CONFIG_FLAGS & FLAG_WINDOW_MOUSE_PASSTHROUGH) exStyle |= WS_EX_TRANSPARENT;
    RECT frame = {x, y, x + width, y + height};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    const std::wstring wideTitle = widen(title);
    HWND hwnd = CreateWindowExW(exStyle, kClassName, wideTitle.c_str(), style, frame.left, frame.top,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!hwnd) {
        std::printf("Win32: could not open the window (error %lu)\n", GetLastError());
        std::fflush(stdout);
        return;
    }
    SetLayeredWindowAttributes(hwnd, 0, 255, LWA_ALPHA);

    HDC dc = GetDC(hwnd);
    const int format = choose_pixel_format(dc);
    PIXELFORMATDESCRIPTOR pfd = {};
    HGLRC context = nullptr;
    if (format && DescribePixelFormat(dc, format, sizeof pfd, &pfd) && SetPixelFormat(dc, format, &pfd))
        context = wglCreateContext(dc);
    if (!context || !wglMakeCurrent(dc, context)) {
        std::printf("WGL: could not create an OpenGL context (error %lu)\n", GetLastError());
        std::fflush(stdout);
        if (context) wglDeleteContext(context);
        ReleaseDC(hwnd, dc);
        DestroyWindow(hwnd);
        return;
    }
    if (pfd.cAlphaBits < 8) {
        std::printf("WGL: no pixel format with alpha: the window cannot be transparent\n");
        std::fflush(stdout);
    }
    WINDOW = GLFWwindow{hwnd, dc, context};
    GFX_WINDOW = &WINDOW;
    // Pacing is ours (SetTargetFPS), not the display's.
    typedef BOOL(WINAPI * SwapIntervalFn)(int);
    SwapIntervalFn swapInterval = (SwapIntervalFn)(void*)wglGetProcAddress("wglSwapIntervalEXT");
    if (swapInterval) swapInterval(0);
    if (CONFIG_FLAGS & FLAG_WINDOW_TRANSPARENT) enable_transparency(hwnd);

    STATE_FLAGS = CONFIG_FLAGS & ~FLAG_WINDOW_HIDDEN;
    INPUT_RECTS = (CONFIG_FLAGS & FLAG_WINDOW_MOUSE_PASSTHROUGH) ? 0 : -1;
    INPUT_XYWH.clear();
    CLICK_THROUGH = (exStyle & WS_EX_TRANSPARENT) != 0;
    SHAPE_XYWH.clear();
    SHAPED = false;
    FOCUSABLE = false;
    FOCUS_BEFORE = nullptr;
    CLOSE_REQUESTED = CLOSE_KEY_SEEN = false;
    HIGH_SURROGATE = 0;
    BUTTONS_HELD = 0;
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    if (CONFIG_FLAGS & FLAG_WINDOW_TOPMOST) set_topmost(true);

    RECT client;
    GetClientRect(hwnd, &client);
    int frameW = client.right - client.left, frameH = client.bottom - client.top;
    if (frameW <= 0 || frameH <= 0) {
        frameW = width;
        frameH = height;
    }
    gfx_set_framebuffer_size(frameW, frameH);
    gfx_batch_init();
    gfx_reset_input();
    POINT p;
    if (GetCursorPos(&p) && ScreenToClient(hwnd, &p)) gfx_input_cursor(p.x, p.y);
    start_frame_timer();
    gfx_clock_reset(0.0);
    pump_messages();
}

void CloseWindow(void) {
    if (!GFX_WINDOW) return;
    gfx_batch_shutdown();
    wglMakeCurrent(nullptr, nullptr);
    wglDeleteContext(WINDOW.context);
    ReleaseDC(WINDOW.hwnd, WINDOW.dc);
    DestroyWindow(WINDOW.hwnd);
    pump_messages();  // WM_DESTROY and friends
    GFX_WINDOW = nullptr;
    WINDOW = GLFWwindow{};
    stop_frame_timer();
    gfx_set_framebuffer_size(0, 0);
    STATE_FLAGS = 0;
    INPUT_RECTS = -1;
    INPUT_XYWH.clear();
    CLICK_THROUGH = false;
    SHAPE_XYWH.clear();
    SHAPED = false;
    FOCUSABLE = false;
}

void gfx_on_display_lost(void (*handler)(void)) {
    // Windows has no display connection to lose: the handler runs when the
    // session ends (WM_ENDSESSION).
    DISPLAY_LOST = handler;
}

bool IsWindowReady(void) {
    return GFX_WINDOW != nullptr;
}

bool WindowShouldClose(void) {
    if (!GFX_WINDOW) return true;
    return CLOSE_REQUESTED || CLOSE_KEY_SEEN;
}

void SetWindowState(unsigned int flags) {
    if (!GFX_WINDOW) return;
    // Passthrough everywhere, also in place of a region gfx_set_input_region left.
    if ((flags & FLAG_WINDOW_MOUSE_PASSTHROUGH) && INPUT_RECTS != 0) {
        INPUT_RECTS = 0;
        INPUT_XYWH.clear();
        STATE_FLAGS |= FLAG_WINDOW_MOUSE_PASSTHROUGH;
        update_click_through();
    }
    if ((flags & FLAG_WINDOW_TOPMOST) && !(STATE_FLAGS & FLAG_WINDOW_TOPMOST)) {
        set_topmost(true);
        STATE_FLAGS |= FLAG_WINDOW_TOPMOST;
    }
    if (flags & FLAG_WINDOW_ALWAYS_RUN) STATE_FLAGS |= FLAG_WINDOW_ALWAYS_RUN;
    if ((flags & FLAG_WINDOW_HIDDEN) && !(STATE_FLAGS & FLAG_WINDOW_HIDDEN)) {
        // Hidden, not minimised: no taskbar could offer it back. Frames go on drawing into it.
        ShowWindow(WINDOW.hwnd, SW_HIDE);
        STATE_FLAGS |= FLAG_WINDOW_HIDDEN;
    }
}

void ClearWindowState(unsigned int flags) {
    if (!GFX_WINDOW) return;
    if ((flags & FLAG_WINDOW_MOUSE_PASSTHROUGH) && INPUT_RECTS != -1) {
        INPUT_RECTS = -1;
        INPUT_XYWH.clear();
        STATE_FLAGS &= ~FLAG_WINDOW_MOUSE_PASSTHROUGH;
        update_click_through();
    }
    if ((flags & FLAG_WINDOW_TOPMOST) && (STATE_FLAGS & FLAG_WINDOW_TOPMOST)) {
        set_topmost(false);
        STATE_FLAGS &= ~FLAG_WINDOW_TOPMOST;
    }
    if (flags & FLAG_WINDOW_ALWAYS_RUN) STATE_FLAGS &= ~FLAG_WINDOW_ALWAYS_RUN;
    if ((flags & FLAG_WINDOW_HIDDEN) && (STATE_FLAGS & FLAG_WINDOW_HIDDEN)) {
        ShowWindow(WINDOW.hwnd, SW_SHOWNOACTIVATE);
        gfx_request_redraw();  // a hidden window kept no pixels
        // Back above whatever came up meanwhile.
        if (STATE_FLAGS & FLAG_WINDOW_TOPMOST) set_topmost(true);
        STATE_FLAGS &= ~FLAG_WINDOW_HIDDEN;
    }
}

bool IsWindowState(unsigned int flag) {
    return (STATE_FLAGS & flag) == flag && flag != 0;
}

void gfx_set_window_focusable(bool on) {
    if (!GFX_WINDOW || on == FOCUSABLE) return;
    FOCUSABLE = on;
    HWND hwnd = WINDOW.hwnd;
    set_ex_style_bits(WS_EX_NOACTIVATE, !on);
    HWND foreground = GetForegroundWindow();
    if (on) {
        if (foreground != hwnd) FOCUS_BEFORE = foreground;
        // Windows grants the foreground to the process that got the last
        // input: the click that opened the text entry was ours.
        SetForegroundWindow(hwnd);
        SetFocus(hwnd);
    } else {
        if (foreground == hwnd && FOCUS_BEFORE && IsWindow(FOCUS_BEFORE)) SetForegroundWindow(FOCUS_BEFORE);
        FOCUS_BEFORE = nullptr;
    }
}

bool gfx_window_focusable(void) {
    return FOCUSABLE;
}

void SetWindowSize(int width, int height) {
    if (!GFX_WINDOW || width <= 0 || height <= 0) return;
    SetWindowPos(WINDOW.hwnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // Drawing follows at once, as on X11.
    gfx_set_framebuffer_size(width, height);
}

void SetWindowPosition(int x, int y) {
    if (!GFX_WINDOW) return;
    // Screen pixels from the virtual screen's corner (see InitWindow).
    x += GetSystemMetrics(SM_XVIRTUALSCREEN);
    y += GetSystemMetrics(SM_YVIRTUALSCREEN);
    SetWindowPos(WINDOW.hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

double GetTime(void) {
    return GFX_WINDOW ? clock_now() : 0.0;
}

void EndDrawing(void) {
    if (!GFX_WINDOW) return;
    int damage[4];  // the whole frame is presented: a layered window's present has no part
    if (gfx_batch_end_frame(damage)) SwapBuffers(WINDOW.dc);

    // Sleep out the rest of the frame; the frame time counts work plus wait.
    double now = clock_now();
    double wait = gfx_clock_wait(now);
    if (wait > 0) {
        sleep_seconds(wait);
        now = clock_now();
    }
    gfx_clock_frame_end(now);

    // Messages that arrive from here on belong to the next frame's tests.
    gfx_next_input_frame();
    pump_messages();
    update_click_through();
}

void* GetWindowHandle(void) {
    return GFX_WINDOW ? (void*)WINDOW.hwnd : nullptr;
}

// ---- Backend services (gfx_internal.h) ------------------------------------------------

bool gfx_can_present_area() {
    return false;  // SwapBuffers presents the whole frame
}

bool gfx_has_context() {
    return GFX_WINDOW != nullptr && wglGetCurrentContext() == WINDOW.context;
}

GfxProc gfx_gl_proc(const char* name) {
    PROC proc = wglGetProcAddress(name);
    // Some drivers answer 1, 2, 3 or -1 instead of null for "not here".
    const intptr_t value = (intptr_t)proc;
    if (value == 0 || value == 1 || value == 2 || value == 3 || value == -1) {
        HMODULE gl = GetModuleHandleW(L"opengl32.dll");
        proc = gl ? GetProcAddress(gl, name) : nullptr;
    }
    return (GfxProc)(void*)proc;
}

// ---- Extras (gfx_ext.h) ----------------------------------------------------------------

GfxWindow* gfx_current_window(void) {
    return gfx_has_context() ? reinterpret_cast<GfxWindow*>(GFX_WINDOW) : nullptr;
}

Vector2 gfx_window_pointer(GfxWindow* handle) {
    // GetCursorPos always knows the pointer, over the window or not.
    POINT p = {0, 0};
    GLFWwindow* window = reinterpret_cast<GLFWwindow*>(handle);
    if (window && GetCursorPos(&p)) ScreenToClient(window->hwnd, &p);
    return {(float)p.x, (float)p.y};
}

void gfx_set_input_region(const struct Rectangle* rects, int count) {
    if (!GFX_WINDOW || count < 0) return;
    INPUT_XYWH = non_empty(gfx_whole_pixels(rects, count));
    INPUT_RECTS = (int)INPUT_XYWH.size() / 4;
    STATE_FLAGS |= FLAG_WINDOW_MOUSE_PASSTHROUGH;
    update_click_through();
}

int gfx_get_input_region(struct Rectangle* out, int max) {
    if (!GFX_WINDOW) return -1;
    if (INPUT_RECTS < 0) {
        // The whole window, as X reports a window without an input shape.
        int w = 0, h = 0;
        gfx_framebuffer_size(&w, &h);
        const int whole[4] = {0, 0, w, h};
        gfx_logical_rects(whole, 1, out, max);
        return 1;
    }
    gfx_logical_rects(INPUT_XYWH.data(), INPUT_RECTS, out, max);
    return INPUT_RECTS;
}

int gfx_input_shape_rect_count(void) {
    if (!GFX_WINDOW) return -1;
    return INPUT_RECTS < 0 ? 1 : INPUT_RECTS;
}

bool gfx_compositor_running(void) {
    // From Windows 8 on DWM composes every window and cannot be turned off.
    if (IsWindows8OrGreater()) return true;
    BOOL enabled = FALSE;
    return SUCCEEDED(DwmIsCompositionEnabled(&enabled)) && enabled;
}

void gfx_set_window_shape(const struct Rectangle* rects, int count) {
    if (!GFX_WINDOW || count < 0) return;
    SHAPE_XYWH = non_empty(gfx_whole_pixels(rects, count));
    HRGN region = CreateRectRgn(0, 0, 0, 0);
    for (size_t i = 0; i < SHAPE_XYWH.size(); i += 4) {
        const int* r = &SHAPE_XYWH[i];
        HRGN part = CreateRectRgn(r[0], r[1], r[0] + r[2], r[1] + r[3]);
        CombineRgn(region, region, part, RGN_OR);
        DeleteObject(part);
    }
    // The system owns the region from here on.
    SetWindowRgn(WINDOW.hwnd, region, TRUE);
    SHAPED = true;
}

void gfx_set_window_shape_drawn(const struct Rectangle* rects, int count) {
    // Windows composes every window with its per-pixel alpha: the boxes
    // suffice, and they change only when the elements do.
    if (!GFX_WINDOW || count < 0) return;
    std::vector<int> xywh = non_empty(gfx_whole_pixels(rects, count));
    if (SHAPED && xywh == SHAPE_XYWH) return;
    gfx_set_window_shape(rects, count);
}

void gfx_clear_window_shape(void) {
    if (!GFX_WINDOW) return;
    SetWindowRgn(WINDOW.hwnd, nullptr, TRUE);
    SHAPE_XYWH.clear();
    SHAPED = false;
}

int gfx_get_window_shape(struct Rectangle* out, int max) {
    if (!GFX_WINDOW) return -1;
    if (!SHAPED) {
        int w = 0, h = 0;
        gfx_framebuffer_size(&w, &h);
        const int whole[4] = {0, 0, w, h};
        gfx_logical_rects(whole, 1, out, max);
        return 1;
    }
    const int n = (int)SHAPE_XYWH.size() / 4;
    gfx_logical_rects(SHAPE_XYWH.data(), n, out, max);
    return n;
}

