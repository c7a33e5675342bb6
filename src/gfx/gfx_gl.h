// Private to src/gfx: the OpenGL header as the layer's drawing files need it.
// Windows's <GL/gl.h> wants <windows.h> first, whose names (Rectangle,
// CloseWindow, LoadImage) collide with raylib's; declaring the two macros it
// looks for keeps <windows.h> out of every file that includes raylib.h, as
// GLFW's own header does. Windows's header also stops at OpenGL 1.1.
#pragma once

#if defined(_WIN32)
#ifndef APIENTRY
#define APIENTRY __stdcall
#endif
#ifndef WINGDIAPI
#define WINGDIAPI __declspec(dllimport)
#endif
#endif

#include <GL/gl.h>

#ifndef GL_CLAMP_TO_EDGE
#define GL_CLAMP_TO_EDGE 0x812F  // OpenGL 1.2
#endif
