// The D3DX stand-in's shader assembler: any text is assembled or refused with "line N: ...".
// Accepted text gives tokens that decode to the same program and that the device's decoder
// accepts, and one vertex through the interpreter stays inside its registers.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/d3d9_shader.h"
#include "platform/d3dx9.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 1 << 16)
        return 0;
    const char* text = reinterpret_cast<const char*>(data);
    ID3DXBuffer* tokens = nullptr;
    ID3DXBuffer* errors = nullptr;
    const HRESULT hr = D3DXAssembleShader(text, static_cast<UINT>(size), nullptr, nullptr, D3DXSHADER_SKIPOPTIMIZATION,
                                          &tokens, &errors);
    if (FAILED(hr)) {
        if (tokens != nullptr || errors == nullptr)
            std::abort();
        const char* message = static_cast<const char*>(errors->GetBufferPointer());
        if (std::strncmp(message, "line ", 5) != 0 && std::strncmp(message, "declaration ", 12) != 0)
            std::abort(); // a refusal names where
        errors->Release();
        return 0;
    }
    const auto* words = static_cast<const DWORD*>(tokens->GetBufferPointer());
    const std::size_t count = tokens->GetBufferSize() / sizeof(DWORD);
    d3d9::ShaderProgram program;
    if (!d3d9::ShaderDecode(words, count, &program))
        std::abort();
    if (d3d9::ShaderEncode(program) != std::vector<DWORD>(words, words + count))
        std::abort();
    tokens->Release();
    d3d9::ShaderMachine machine(program);
    std::array<std::array<float, 4>, d3d9::kShaderConstants> constants{};
    for (int i = 0; i < d3d9::kShaderConstants; ++i)
        constants[i] = {static_cast<float>(i), -1.5f, 0.25f, 300.0f};
    machine.SetConstants(constants);
    std::array<std::array<float, 4>, d3d9::kShaderInputs> inputs{};
    for (int i = 0; i < d3d9::kShaderInputs; ++i)
        inputs[i] = {static_cast<float>(i * 17 % 300) - 20.0f, 0.5f, -3.0f, 1e30f};
    d3d9::ShaderOutput out;
    machine.Run(inputs, &out);
    return 0;
}
