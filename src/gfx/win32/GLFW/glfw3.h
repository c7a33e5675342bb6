// The GLFW calls the program makes outside the graphics layer, for the
// Windows build, which has no GLFW: desktop/input.cpp reads the pointer
// through them (window pixels, also where the window lets the pointer
// through). rcore_win32.cpp answers them from its own window. The build puts
// this folder on the include path on Windows only; on Linux the real GLFW
// header is found instead.
#pragma once

struct GLFWwindow;  // the Win32 backend's window record

extern "C" {
// The window whose GL context is current on this thread: the overlay once
// InitWindow succeeded, null before and after.
GLFWwindow* glfwGetCurrentContext(void);
// Pointer position relative to the window's client area in physical pixels,
// wherever the pointer is (GetCursorPos, which always knows it).
void glfwGetCursorPos(GLFWwindow* window, double* xpos, double* ypos);
}
