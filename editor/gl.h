// The OpenGL entry points the editor and the NanoVG GL3 back end use, loaded at run time
// into global pointers tkgl_<name>, so that nothing links libGL's functions directly.
#pragma once
#include <GL/glcorearb.h>

// Every entry point, in lookup order: X(pointer type, GL name).
#define TKGL_FUNCS(X)                                                                                                  \
    X(PFNGLACTIVETEXTUREPROC, glActiveTexture)                                                                         \
    X(PFNGLATTACHSHADERPROC, glAttachShader)                                                                           \
    X(PFNGLBINDATTRIBLOCATIONPROC, glBindAttribLocation)                                                               \
    X(PFNGLBINDBUFFERPROC, glBindBuffer)                                                                               \
    X(PFNGLBINDBUFFERRANGEPROC, glBindBufferRange)                                                                     \
    X(PFNGLBINDTEXTUREPROC, glBindTexture)                                                                             \
    X(PFNGLBINDVERTEXARRAYPROC, glBindVertexArray)                                                                     \
    X(PFNGLBLENDFUNCSEPARATEPROC, glBlendFuncSeparate)                                                                 \
    X(PFNGLBUFFERDATAPROC, glBufferData)                                                                               \
    X(PFNGLCLEARPROC, glClear)                                                                                         \
    X(PFNGLCLEARCOLORPROC, glClearColor)                                                                               \
    X(PFNGLCOLORMASKPROC, glColorMask)                                                                                 \
    X(PFNGLCOMPILESHADERPROC, glCompileShader)                                                                         \
    X(PFNGLCREATEPROGRAMPROC, glCreateProgram)                                                                         \
    X(PFNGLCREATESHADERPROC, glCreateShader)                                                                           \
    X(PFNGLCULLFACEPROC, glCullFace)                                                                                   \
    X(PFNGLDELETEBUFFERSPROC, glDeleteBuffers)                                                                         \
    X(PFNGLDELETEPROGRAMPROC, glDeleteProgram)                                                                         \
    X(PFNGLDELETESHADERPROC, glDeleteShader)                                                                           \
    X(PFNGLDELETETEXTURESPROC, glDeleteTextures)                                                                       \
    X(PFNGLDELETEVERTEXARRAYSPROC, glDeleteVertexArrays)                                                               \
    X(PFNGLDISABLEPROC, glDisable)                                                                                     \
    X(PFNGLDISABLEVERTEXATTRIBARRAYPROC, glDisableVertexAttribArray)                                                   \
    X(PFNGLDRAWARRAYSPROC, glDrawArrays)                                                                               \
    X(PFNGLENABLEPROC, glEnable)                                                                                       \
    X(PFNGLENABLEVERTEXATTRIBARRAYPROC, glEnableVertexAttribArray)                                                     \
    X(PFNGLFINISHPROC, glFinish)                                                                                       \
    X(PFNGLFRONTFACEPROC, glFrontFace)                                                                                 \
    X(PFNGLGENBUFFERSPROC, glGenBuffers)                                                                               \
    X(PFNGLGENTEXTURESPROC, glGenTextures)                                                                             \
    X(PFNGLGENVERTEXARRAYSPROC, glGenVertexArrays)                                                                     \
    X(PFNGLGENERATEMIPMAPPROC, glGenerateMipmap)                                                                       \
    X(PFNGLGETERRORPROC, glGetError)                                                                                   \
    X(PFNGLGETINTEGERVPROC, glGetIntegerv)                                                                             \
    X(PFNGLGETPROGRAMINFOLOGPROC, glGetProgramInfoLog)                                                                 \
    X(PFNGLGETPROGRAMIVPROC, glGetProgramiv)                                                                           \
    X(PFNGLGETSHADERINFOLOGPROC, glGetShaderInfoLog)                                                                   \
    X(PFNGLGETSHADERIVPROC, glGetShaderiv)                                                                             \
    X(PFNGLGETSTRINGPROC, glGetString)                                                                                 \
    X(PFNGLGETUNIFORMBLOCKINDEXPROC, glGetUniformBlockIndex)                                                           \
    X(PFNGLGETUNIFORMLOCATIONPROC, glGetUniformLocation)                                                               \
    X(PFNGLLINKPROGRAMPROC, glLinkProgram)                                                                             \
    X(PFNGLPIXELSTOREIPROC, glPixelStorei)                                                                             \
    X(PFNGLREADPIXELSPROC, glReadPixels)                                                                               \
    X(PFNGLSHADERSOURCEPROC, glShaderSource)                                                                           \
    X(PFNGLSTENCILFUNCPROC, glStencilFunc)                                                                             \
    X(PFNGLSTENCILMASKPROC, glStencilMask)                                                                             \
    X(PFNGLSTENCILOPPROC, glStencilOp)                                                                                 \
    X(PFNGLSTENCILOPSEPARATEPROC, glStencilOpSeparate)                                                                 \
    X(PFNGLTEXIMAGE2DPROC, glTexImage2D)                                                                               \
    X(PFNGLTEXPARAMETERIPROC, glTexParameteri)                                                                         \
    X(PFNGLTEXSUBIMAGE2DPROC, glTexSubImage2D)                                                                         \
    X(PFNGLUNIFORM1IPROC, glUniform1i)                                                                                 \
    X(PFNGLUNIFORM2FVPROC, glUniform2fv)                                                                               \
    X(PFNGLUNIFORM4FVPROC, glUniform4fv)                                                                               \
    X(PFNGLUNIFORMBLOCKBINDINGPROC, glUniformBlockBinding)                                                             \
    X(PFNGLUSEPROGRAMPROC, glUseProgram)                                                                               \
    X(PFNGLVERTEXATTRIBPOINTERPROC, glVertexAttribPointer)                                                             \
    X(PFNGLVIEWPORTPROC, glViewport)

#define TKGL_DECLARE(type, name) extern type tkgl_##name;
TKGL_FUNCS(TKGL_DECLARE)
#undef TKGL_DECLARE

// Number of entry points in TKGL_FUNCS.
constexpr int TKGL_COUNT = 59;

// [main-thread] Looks every entry point up (through puglGetProcAddress, with a GL context current) and
// stores it, also after one lookup failed. True only when all of them are non-null.
// Main thread, inside a pugl event that has the context current.
bool tkgl_load();

// [main-thread] Returns the GL version of the current context as major * 10 + minor (32 for 3.2); 0 when
// glGetString is not loaded or gives no version. Needs a current context.
int tkgl_version();
