// NanoVG and its GL3 back end, compiled as C++ from the dpf-source copy, with every GL
// call going through the run-time loaded pointers of editor/gl.h.
#include "editor/gl.h"

#define glActiveTexture tkgl_glActiveTexture
#define glAttachShader tkgl_glAttachShader
#define glBindAttribLocation tkgl_glBindAttribLocation
#define glBindBuffer tkgl_glBindBuffer
#define glBindBufferRange tkgl_glBindBufferRange
#define glBindTexture tkgl_glBindTexture
#define glBindVertexArray tkgl_glBindVertexArray
#define glBlendFuncSeparate tkgl_glBlendFuncSeparate
#define glBufferData tkgl_glBufferData
#define glClear tkgl_glClear
#define glClearColor tkgl_glClearColor
#define glColorMask tkgl_glColorMask
#define glCompileShader tkgl_glCompileShader
#define glCreateProgram tkgl_glCreateProgram
#define glCreateShader tkgl_glCreateShader
#define glCullFace tkgl_glCullFace
#define glDeleteBuffers tkgl_glDeleteBuffers
#define glDeleteProgram tkgl_glDeleteProgram
#define glDeleteShader tkgl_glDeleteShader
#define glDeleteTextures tkgl_glDeleteTextures
#define glDeleteVertexArrays tkgl_glDeleteVertexArrays
#define glDisable tkgl_glDisable
#define glDisableVertexAttribArray tkgl_glDisableVertexAttribArray
#define glDrawArrays tkgl_glDrawArrays
#define glEnable tkgl_glEnable
#define glEnableVertexAttribArray tkgl_glEnableVertexAttribArray
#define glFinish tkgl_glFinish
#define glFrontFace tkgl_glFrontFace
#define glGenBuffers tkgl_glGenBuffers
#define glGenTextures tkgl_glGenTextures
#define glGenVertexArrays tkgl_glGenVertexArrays
#define glGenerateMipmap tkgl_glGenerateMipmap
#define glGetError tkgl_glGetError
#define glGetIntegerv tkgl_glGetIntegerv
#define glGetProgramInfoLog tkgl_glGetProgramInfoLog
#define glGetProgramiv tkgl_glGetProgramiv
#define glGetShaderInfoLog tkgl_glGetShaderInfoLog
#define glGetShaderiv tkgl_glGetShaderiv
#define glGetString tkgl_glGetString
#define glGetUniformBlockIndex tkgl_glGetUniformBlockIndex
#define glGetUniformLocation tkgl_glGetUniformLocation
#define glLinkProgram tkgl_glLinkProgram
#define glPixelStorei tkgl_glPixelStorei
#define glReadPixels tkgl_glReadPixels
#define glShaderSource tkgl_glShaderSource
#define glStencilFunc tkgl_glStencilFunc
#define glStencilMask tkgl_glStencilMask
#define glStencilOp tkgl_glStencilOp
#define glStencilOpSeparate tkgl_glStencilOpSeparate
#define glTexImage2D tkgl_glTexImage2D
#define glTexParameteri tkgl_glTexParameteri
#define glTexSubImage2D tkgl_glTexSubImage2D
#define glUniform1i tkgl_glUniform1i
#define glUniform2fv tkgl_glUniform2fv
#define glUniform4fv tkgl_glUniform4fv
#define glUniformBlockBinding tkgl_glUniformBlockBinding
#define glUseProgram tkgl_glUseProgram
#define glVertexAttribPointer tkgl_glVertexAttribPointer
#define glViewport tkgl_glViewport

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wunused-variable"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#pragma GCC diagnostic ignored "-Wmisleading-indentation"
#pragma GCC diagnostic ignored "-Wclass-memaccess"
#pragma GCC diagnostic ignored "-Wtype-limits"
#pragma GCC diagnostic ignored "-Wdouble-promotion"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wstrict-aliasing"
#pragma GCC diagnostic ignored "-Wcast-function-type"
#pragma GCC diagnostic ignored "-Wstringop-truncation"
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wnull-dereference"

#define NVG_NO_STB 1
#include "nanovg.c"

#define NANOVG_GL3_IMPLEMENTATION 1
#include "nanovg_gl.h"

#pragma GCC diagnostic pop
