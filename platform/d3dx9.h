#pragma once
// D3DX 9: the shader assembler and the four matrix and vector routines the engine calls.
//
// Matrices are row-major with row vectors (v' = v * M), as Direct3D multiplies. Every routine
// lets its output alias an input and returns the output.

#include "platform/d3d9.h"

inline constexpr HRESULT D3DXERR_INVALIDDATA = static_cast<HRESULT>(0x88760B59u);

// Assembler flags; accepted and ignored (the stand-in neither optimises nor emits debug data).
inline constexpr DWORD D3DXSHADER_DEBUG = 0x1;
inline constexpr DWORD D3DXSHADER_SKIPVALIDATION = 0x2;
inline constexpr DWORD D3DXSHADER_SKIPOPTIMIZATION = 0x4;

using D3DXMATRIX = D3DMATRIX;
using D3DXVECTOR3 = D3DVECTOR;

struct D3DXMACRO {
    LPCSTR Name;
    LPCSTR Definition;
};

// An include handler; the stand-in supports none, so callers pass null.
class ID3DXInclude;

// A block of bytes the assembler hands back: the tokens, or the error text (NUL-terminated).
class ID3DXBuffer {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual void* GetBufferPointer() = 0;
    virtual DWORD GetBufferSize() = 0;

protected:
    ~ID3DXBuffer() = default;
};
using LPD3DXBUFFER = ID3DXBuffer*;

// Assembles vertex-shader text of the language the engine's shader generator writes (see
// platform/d3d9_shader.h) into tokens for IDirect3DDevice9::CreateVertexShader. Text outside the
// language gives D3DXERR_INVALIDDATA and, when `errors` is given, a buffer "line N: what".
// Defines and include handlers are not supported (D3DERR_INVALIDCALL).
HRESULT D3DXAssembleShader(LPCSTR source, UINT length, const D3DXMACRO* defines, ID3DXInclude* include, DWORD flags,
                           LPD3DXBUFFER* shader, LPD3DXBUFFER* errors);

// out = a * b.
D3DXMATRIX* D3DXMatrixMultiply(D3DXMATRIX* out, const D3DXMATRIX* a, const D3DXMATRIX* b);
// out = transpose(a * b).
D3DXMATRIX* D3DXMatrixMultiplyTranspose(D3DXMATRIX* out, const D3DXMATRIX* a, const D3DXMATRIX* b);
D3DXMATRIX* D3DXMatrixTranspose(D3DXMATRIX* out, const D3DXMATRIX* m);
// The x, y, z of (v, 0) * m.
D3DXVECTOR3* D3DXVec3TransformNormal(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m);
// The x, y, z of (v, 1) * m divided by its w.
D3DXVECTOR3* D3DXVec3TransformCoord(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m);
