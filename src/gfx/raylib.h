// The raylib 5.5 calls the companion makes, with raylib's names, types and
// constants, provided here on GLFW 3.3 (Linux) or Win32 and WGL (Windows),
// OpenGL and stb (see src/gfx/*.cpp).
// Application code includes only this header for graphics, so a build against
// a real raylib 5.5 needs nothing but a CMake switch.
//
// Threads: every function here belongs to the main thread (the one that called
// InitWindow), as in raylib.
#pragma once

#include <cstdbool>

//----------------------------------------------------------------------------------
// Basic types
//----------------------------------------------------------------------------------
struct Vector2 {
    float x;  // horizontal, pixels grow to the right
    float y;  // vertical, pixels grow downwards
};

struct Rectangle {
    float x;       // left edge
    float y;       // top edge
    float width;   // may be negative where a call says so (source mirroring)
    float height;
};

struct Color {
    unsigned char r, g, b, a;
};

struct Image {
    void* data;   // RGBA8 pixels, owned by the image
    int width;
    int height;
    int mipmaps;
    int format;
};

struct Texture {
    unsigned int id;  // OpenGL texture name; 0 when nothing is loaded
    int width;
    int height;
    int mipmaps;
    int format;
};
typedef Texture Texture2D;

struct GlyphInfo {
    int value;     // Unicode code point
    int offsetX;   // bitmap box x0 at the base size
    int offsetY;   // ascent*scale (truncated) + bitmap box y0
    int advanceX;  // advance*scale, truncated
    Image image;   // not kept by this layer (data null)
};

struct Font {
    int baseSize;       // rasterising size in pixels (32)
    int glyphCount;     // glyphs in recs/glyphs
    int glyphPadding;   // transparent pixels around each glyph in the atlas (4)
    Texture2D texture;  // atlas; id 0 when the font could not be loaded
    Rectangle* recs;    // glyph boxes in the atlas, without padding
    GlyphInfo* glyphs;  // glyph metrics, same order as recs
};

enum MouseButton {
    MOUSE_BUTTON_LEFT = 0,
    MOUSE_BUTTON_RIGHT = 1,
    MOUSE_BUTTON_MIDDLE = 2,
};

enum ConfigFlags {
    FLAG_WINDOW_UNDECORATED = 0x00000008,
    FLAG_WINDOW_TRANSPARENT = 0x00000010,
    FLAG_WINDOW_HIDDEN = 0x00000080,
    FLAG_WINDOW_ALWAYS_RUN = 0x00000100,
    FLAG_WINDOW_TOPMOST = 0x00001000,
    FLAG_WINDOW_MOUSE_PASSTHROUGH = 0x00004000,
};

enum KeyboardKey {
    KEY_ESCAPE = 256,
    KEY_ENTER = 257,
    KEY_BACKSPACE = 259,
};

enum PixelFormat {
    PIXELFORMAT_UNCOMPRESSED_R8G8B8A8 = 7,
};

#define WHITE (Color{255, 255, 255, 255})
#define BLACK (Color{0, 0, 0, 255})
#define BLANK (Color{0, 0, 0, 0})

//----------------------------------------------------------------------------------
// Window and frame functions (rcore)
//----------------------------------------------------------------------------------
void SetConfigFlags(unsigned int flags);             // Store window flags for InitWindow
void InitWindow(int width, int height, const char* title);  // Open the window at 0, 0; 0 x 0 means the whole screen (every monitor)
void CloseWindow(void);                              // Destroy the window and its context
bool IsWindowReady(void);                            // True once InitWindow succeeded
bool WindowShouldClose(void);                        // Close request or Escape while focused
void SetWindowState(unsigned int flags);             // Set window state (FLAG_WINDOW_MOUSE_PASSTHROUGH, FLAG_WINDOW_HIDDEN: unmap)
void ClearWindowState(unsigned int flags);           // Clear window state (take the mouse again, map again)
bool IsWindowState(unsigned int flag);               // Is the state currently set
void SetWindowSize(int width, int height);           // Resize the window (screen pixels; drawing follows at once)
void SetWindowPosition(int x, int y);                // Move the window (screen pixels)
int GetScreenWidth(void);                            // Window width in logical pixels, 0 before InitWindow
int GetScreenHeight(void);                           // Window height in logical pixels, 0 before InitWindow
void SetTargetFPS(int fps);                          // EndDrawing paces frames to at least 1/fps s
float GetFrameTime(void);                            // Seconds of the previous whole frame (work + wait)
int GetFPS(void);                                    // Average frames per second over recent frames
double GetTime(void);                                // Seconds since InitWindow
void BeginDrawing(void);                             // Start a frame
void EndDrawing(void);                               // Present, wait for the pace, poll events
void ClearBackground(Color color);                   // Fill the whole framebuffer (alpha kept)
void* GetWindowHandle(void);                         // Native handle: the X11 Window (as a pointer value), the HWND on Windows
Image LoadImageFromScreen(void);                     // Read back the current framebuffer (RGBA8, top row first, physical pixels)
// Decode an image file held in memory (fileType ".png") into RGBA8 pixels;
// data null on failure. Touches no GL state: unlike the rest of this header
// it may run on any thread (the network worker decodes pictures with it).
Image LoadImageFromMemory(const char* fileType, const unsigned char* fileData, int dataSize);
void UnloadImage(Image image);                       // Free pixels of an image (any thread)
Color GetImageColor(Image image, int x, int y);      // One pixel of an image

//----------------------------------------------------------------------------------
// Input functions (rcore)
//----------------------------------------------------------------------------------
bool IsMouseButtonPressed(int button);               // Went down since the previous frame
bool IsMouseButtonDown(int button);                  // Is down now
bool IsMouseButtonReleased(int button);              // Went up since the previous frame
bool IsMouseButtonUp(int button);                    // Is up now
Vector2 GetMousePosition(void);                      // Pointer in logical window pixels
bool IsKeyPressed(int key);                          // Went down this frame (no auto-repeat)
int GetCharPressed(void);                            // Next typed code point this frame, 0 when none

//----------------------------------------------------------------------------------
// Texture loading and drawing functions (rtextures)
//----------------------------------------------------------------------------------
Texture2D LoadTexture(const char* fileName);         // Decode a PNG and upload it; id 0 on failure
Texture2D LoadTextureFromImage(Image image);         // Upload RGBA8 pixels
void UnloadTexture(Texture2D texture);               // Free a texture; id 0 is ignored
bool IsTextureReady(Texture2D texture);              // id != 0
void DrawTexturePro(Texture2D texture, Rectangle source, Rectangle dest, Vector2 origin, float rotation,
                    Color tint);                     // Draw part of a texture placed, scaled and turned
Color ColorFromHSV(float hue, float saturation, float value);  // HSV (hue in degrees) to RGB, alpha 255

//----------------------------------------------------------------------------------
// Shape drawing functions (rshapes)
//----------------------------------------------------------------------------------
void DrawRectanglePro(Rectangle rec, Vector2 origin, float rotation, Color color);  // Filled, placed and turned

//----------------------------------------------------------------------------------
// Font loading and text drawing functions (rtext)
//----------------------------------------------------------------------------------
Font LoadFont(const char* fileName);                 // Rasterise a TTF/OTF at 32 px; texture id 0 on failure
void UnloadFont(Font font);                          // Free the atlas and glyph tables
bool IsFontReady(Font font);                         // texture id != 0
Vector2 MeasureTextEx(Font font, const char* text, float fontSize, float spacing);  // Size of UTF-8 text
void DrawTextPro(Font font, const char* text, Vector2 position, Vector2 origin, float rotation, float fontSize,
                 float spacing, Color tint);         // Draw UTF-8 text placed and turned
