// D3DX 9 stand-in: the shader assembler over platform/d3d9_shader.h and the matrix routines.

#include "platform/d3dx9.h"

#include "platform/d3d9_shader.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

class Buffer final : public ID3DXBuffer {
public:
    explicit Buffer(std::vector<BYTE> bytes) : bytes_(std::move(bytes)) {}
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG n = --refs_;
        if (n == 0)
            delete this;
        return n;
    }
    void* GetBufferPointer() override { return bytes_.data(); }
    DWORD GetBufferSize() override { return static_cast<DWORD>(bytes_.size()); }

private:
    ~Buffer() = default;
    std::vector<BYTE> bytes_;
    ULONG refs_ = 1;
};

} // namespace

HRESULT D3DXAssembleShader(LPCSTR source, UINT length, const D3DXMACRO* defines, ID3DXInclude* include, DWORD flags,
                           LPD3DXBUFFER* shader, LPD3DXBUFFER* errors) {
    (void)flags;
    if (shader != nullptr)
        *shader = nullptr;
    if (errors != nullptr)
        *errors = nullptr;
    if (source == nullptr || shader == nullptr || defines != nullptr || include != nullptr)
        return D3DERR_INVALIDCALL;
    d3d9::ShaderProgram program;
    std::string error;
    if (!d3d9::ShaderAssemble(source, length, &program, &error)) {
        if (errors != nullptr)
            *errors = new Buffer(std::vector<BYTE>(error.c_str(), error.c_str() + error.size() + 1));
        return D3DXERR_INVALIDDATA;
    }
    const std::vector<DWORD> tokens = d3d9::ShaderEncode(program);
    std::vector<BYTE> bytes(tokens.size() * sizeof(DWORD));
    std::memcpy(bytes.data(), tokens.data(), bytes.size());
    *shader = new Buffer(std::move(bytes));
    return D3D_OK;
}

D3DXMATRIX* D3DXMatrixMultiply(D3DXMATRIX* out, const D3DXMATRIX* a, const D3DXMATRIX* b) {
    D3DXMATRIX r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r.m[i][j] =
                a->m[i][0] * b->m[0][j] + a->m[i][1] * b->m[1][j] + a->m[i][2] * b->m[2][j] + a->m[i][3] * b->m[3][j];
    *out = r;
    return out;
}

D3DXMATRIX* D3DXMatrixMultiplyTranspose(D3DXMATRIX* out, const D3DXMATRIX* a, const D3DXMATRIX* b) {
    D3DXMATRIX r;
    D3DXMatrixMultiply(&r, a, b);
    return D3DXMatrixTranspose(out, &r);
}

D3DXMATRIX* D3DXMatrixTranspose(D3DXMATRIX* out, const D3DXMATRIX* m) {
    D3DXMATRIX r;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            r.m[i][j] = m->m[j][i];
    *out = r;
    return out;
}

D3DXVECTOR3* D3DXVec3TransformNormal(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m) {
    const D3DXVECTOR3 r{v->x * m->m[0][0] + v->y * m->m[1][0] + v->z * m->m[2][0],
                        v->x * m->m[0][1] + v->y * m->m[1][1] + v->z * m->m[2][1],
                        v->x * m->m[0][2] + v->y * m->m[1][2] + v->z * m->m[2][2]};
    *out = r;
    return out;
}

D3DXVECTOR3* D3DXVec3TransformCoord(D3DXVECTOR3* out, const D3DXVECTOR3* v, const D3DXMATRIX* m) {
    float r[4];
    for (int j = 0; j < 4; ++j)
        r[j] = v->x * m->m[0][j] + v->y * m->m[1][j] + v->z * m->m[2][j] + m->m[3][j];
    const float inv = 1.0f / r[3];
    *out = D3DXVECTOR3{r[0] * inv, r[1] * inv, r[2] * inv};
    return out;
}
