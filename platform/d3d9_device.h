#pragma once
// Inside the Direct3D 9 stand-in: the pixel formats and their codec, the object records behind
// the interfaces, the device's state and the seam to the rasteriser. The device validates every
// call, keeps the state and hands each draw, whole, to RasteriseDraw (platform/d3d9_raster.cpp);
// surfaces hold their pixels in their real formats and pitches.

#include "platform/d3d9.h"
#include "platform/d3d9_control.h"
#include "platform/d3d9_pixel_shader.h"
#include "platform/d3d9_shader.h"

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace d3d9 {

// Formats ----------------------------------------------------------------------------------------

struct FormatInfo {
    D3DFORMAT format;
    UINT bytes; // per pixel, or per 4x4 block when `block`
    bool block; // DXT: 4x4 blocks
    bool alpha; // carries alpha (others read as alpha 255)
    bool depth; // a depth-stencil format
    BYTE stencilBits;
    bool palette; // indices into the current palette
};

// Null for a format the stand-in does not know.
const FormatInfo* Format(D3DFORMAT format);
bool IsDisplayFormat(D3DFORMAT format); // formats a display mode or back buffer may have
// Bytes from row to row (of blocks) of a surface `width` wide: rows start on 4-byte boundaries.
UINT PitchOf(const FormatInfo& info, UINT width);
UINT RowsOf(const FormatInfo& info, UINT height); // rows of pixels, or of blocks

// One pixel of a colour format to 0xAARRGGBB (alpha 255 where the format has none; L8 gives
// L, L, L, 255). `palette` is the current palette of the palettised formats (null: black).
D3DCOLOR ReadPixel(D3DFORMAT format, const BYTE* pixel, const PALETTEENTRY* palette);
// 0xAARRGGBB to one pixel, rounding to the nearest; palettised formats are not written.
void WritePixel(D3DFORMAT format, BYTE* pixel, D3DCOLOR color);
// The 16 pixels of a DXT block as 0xAARRGGBB, rows of 4.
void DecodeBlock(D3DFORMAT format, const BYTE* block, D3DCOLOR out[16]);
// One texel of an image of a colour format, block formats included.
struct Image;
D3DCOLOR ReadTexel(const Image& image, UINT x, UINT y, const PALETTEENTRY* palette);
// Depth in 0..1 and stencil of a depth format.
float ReadDepth(D3DFORMAT format, const BYTE* pixel);
void WriteDepth(D3DFORMAT format, BYTE* pixel, float z);
DWORD ReadStencil(D3DFORMAT format, const BYTE* pixel);
void WriteStencil(D3DFORMAT format, BYTE* pixel, DWORD stencil);

// The pixels of one surface: `pitch` bytes per row (of blocks), rows from the top.
struct Image {
    D3DFORMAT format = D3DFMT_UNKNOWN;
    const FormatInfo* info = nullptr;
    UINT width = 0;
    UINT height = 0;
    UINT pitch = 0;
    std::vector<BYTE> bytes;
    // Counts the writes through the device (allocation, locks, copies): what the rasteriser makes
    // from the texels is remade when the count has moved on since.
    std::uint64_t version = 0;
    // The rasteriser's filtering blocks (each texel with its right, lower and lower right
    // neighbours, wrapped), made from the texels at `blocksVersion`.
    mutable std::vector<std::uint32_t> blocks;
    mutable std::uint64_t blocksVersion = 0;

    void Allocate(D3DFORMAT f, UINT w, UINT h);
    BYTE* At(UINT x, UINT y) { return bytes.data() + static_cast<std::size_t>(y) * pitch + x * info->bytes; }
    const BYTE* At(UINT x, UINT y) const {
        return bytes.data() + static_cast<std::size_t>(y) * pitch + x * info->bytes;
    }
};

// Objects ----------------------------------------------------------------------------------------

class Device;

// What every device object shares: the external count the platform reports, the bindings that
// keep it alive on top of that, and its device (kept alive by every object).
class Object {
public:
    Object(Device* device, D3DPOOL pool);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ULONG AddRefExternal();
    ULONG ReleaseExternal();
    void Bind() { ++binds; }
    void Unbind(); // may delete the object
    // The object is freed once nothing counts on it and nothing binds it.
    void DeleteIfUnused();
    // Whether a Reset has to wait for the system to release this object.
    virtual bool BlocksReset() const { return pool == D3DPOOL_DEFAULT && refs > 0; }

    Device* device;
    D3DPOOL pool;
    ULONG refs = 1;        // external
    ULONG binds = 0;       // bindings on the device
    bool implicit = false; // created by the device (back buffer, auto depth surface): freed by it
};

// Interface plus Object, with the counting methods.
template <class Interface> class Counted : public Interface, public Object {
public:
    using Object::Object;
    ULONG AddRef() override { return AddRefExternal(); }
    ULONG Release() override { return ReleaseExternal(); }
};

class Surface final : public Counted<IDirect3DSurface9> {
public:
    // container null: a surface of its own; else a level of a texture or a swap chain's buffer,
    // counted on its container.
    Surface(Device* device, Object* container, D3DPOOL pool, DWORD usage, D3DFORMAT format, UINT width, UINT height);
    ULONG AddRef() override;
    ULONG Release() override;
    D3DRESOURCETYPE GetType() override { return D3DRTYPE_SURFACE; }
    HRESULT GetDesc(D3DSURFACE_DESC* desc) override;
    HRESULT LockRect(D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) override;
    HRESULT UnlockRect() override;

    Object* Owner() { return container != nullptr ? container : this; }

    Object* container;
    DWORD usage;
    bool lockable; // the platform lets the system lock it
    bool locked = false;
    bool plain = false; // an offscreen plain surface
    Image image;
};

// Textures and cube textures: faces x levels of surfaces.
class TextureBase : public Object {
public:
    using Object::Object;
    D3DRESOURCETYPE type = D3DRTYPE_TEXTURE;
    DWORD usage = 0;
    D3DFORMAT format = D3DFMT_UNKNOWN;
    UINT levelCount = 0; // what GetLevelCount reports (1 with automatic mip levels)
    UINT faces = 1;
    std::vector<std::unique_ptr<Surface>> surfaces; // face * allocated levels + level
    UINT allocatedLevels = 0;

    Surface* Level(UINT face, UINT level) { return surfaces[face * allocatedLevels + level].get(); }
    void CreateLevels(UINT width, UINT height, UINT levels);
};

class Texture final : public IDirect3DTexture9, public TextureBase {
public:
    using TextureBase::TextureBase;
    ULONG AddRef() override { return AddRefExternal(); }
    ULONG Release() override { return ReleaseExternal(); }
    D3DRESOURCETYPE GetType() override { return D3DRTYPE_TEXTURE; }
    DWORD GetLevelCount() override { return levelCount; }
    HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) override;
    HRESULT GetSurfaceLevel(UINT level, IDirect3DSurface9** surface) override;
};

class CubeTexture final : public IDirect3DCubeTexture9, public TextureBase {
public:
    using TextureBase::TextureBase;
    ULONG AddRef() override { return AddRefExternal(); }
    ULONG Release() override { return ReleaseExternal(); }
    D3DRESOURCETYPE GetType() override { return D3DRTYPE_CUBETEXTURE; }
    DWORD GetLevelCount() override { return levelCount; }
    HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) override;
    HRESULT GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level, IDirect3DSurface9** surface) override;
};

// The memory and lock rules shared by vertex and index buffers.
struct BufferStore {
    DWORD usage = 0;
    std::vector<BYTE> bytes;
    int locks = 0;
    HRESULT Lock(const char* what, UINT offset, UINT size, void** data, DWORD flags);
    HRESULT Unlock();
};

class VertexBuffer final : public Counted<IDirect3DVertexBuffer9> {
public:
    using Counted::Counted;
    D3DRESOURCETYPE GetType() override { return D3DRTYPE_VERTEXBUFFER; }
    HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) override;
    HRESULT Unlock() override;
    DWORD fvf = 0;
    BufferStore store;
};

class IndexBuffer final : public Counted<IDirect3DIndexBuffer9> {
public:
    using Counted::Counted;
    D3DRESOURCETYPE GetType() override { return D3DRTYPE_INDEXBUFFER; }
    HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) override;
    HRESULT Unlock() override;
    D3DFORMAT format = D3DFMT_INDEX16;
    BufferStore store;
};

class VertexDeclaration final : public Counted<IDirect3DVertexDeclaration9> {
public:
    using Counted::Counted;
    bool BlocksReset() const override { return false; }
    HRESULT GetDeclaration(D3DVERTEXELEMENT9* elements, UINT* count) override;
    std::vector<D3DVERTEXELEMENT9> elements; // without the end marker
};

// Shaders are kept as their token blobs and as the program the interpreter runs.
class VertexShader final : public Counted<IDirect3DVertexShader9> {
public:
    using Counted::Counted;
    bool BlocksReset() const override { return false; }
    std::vector<DWORD> tokens;
    ShaderProgram program;
};

class PixelShader final : public Counted<IDirect3DPixelShader9> {
public:
    using Counted::Counted;
    bool BlocksReset() const override { return false; }
    std::vector<DWORD> tokens;
    PixelShaderProgram program;
};

class SwapChain final : public Counted<IDirect3DSwapChain9> {
public:
    SwapChain(Device* device, const D3DPRESENT_PARAMETERS& params, HWND window);
    bool BlocksReset() const override { return refs > 0; }
    HRESULT Present(const RECT* source, const RECT* dest, HWND overrideWindow, const void* dirtyRegion,
                    DWORD flags) override;
    HRESULT GetBackBuffer(UINT index, D3DBACKBUFFER_TYPE type, IDirect3DSurface9** surface) override;

    D3DPRESENT_PARAMETERS params;
    HWND window;
    std::unique_ptr<Surface> backBuffer;
};

// Sizes of the element types of vertex declarations, bytes; 0 for an invalid type.
UINT DeclTypeSize(BYTE type);
// The elements an FVF stands for (stream 0) and its stride; false for an FVF the platform refuses.
bool FvfElements(DWORD fvf, std::vector<D3DVERTEXELEMENT9>* elements, UINT* stride);

// Largest width or height of a back buffer or a surface of its own (64 MB at 32 bits): a bad size
// from a caller gets an error, not a huge allocation.
inline constexpr UINT kMaxSurfaceSide = 4096;

// State -------------------------------------------------------------------------------------------

inline constexpr UINT kRenderStates = 210;
inline constexpr UINT kStages = 8;
inline constexpr UINT kStageStates = 33;
inline constexpr UINT kSamplers = 16;
inline constexpr UINT kSamplerStates = 14;
inline constexpr UINT kTransforms = 512;
inline constexpr UINT kStreams = 16;
inline constexpr UINT kTargets = 4;
inline constexpr UINT kVertexConstants = 256;
inline constexpr UINT kPixelConstants = 224;

struct Stream {
    VertexBuffer* buffer = nullptr;
    UINT offset = 0; // bytes
    UINT stride = 0; // bytes
};

struct Light {
    D3DLIGHT9 light{};
    bool enabled = false;
};

// Everything a draw depends on. Bound objects are held by binding, not by the external count.
struct State {
    std::array<DWORD, kRenderStates> render{};
    std::array<std::array<DWORD, kStageStates>, kStages> stage{};
    std::array<std::array<DWORD, kSamplerStates>, kSamplers> sampler{};
    std::array<D3DMATRIX, kTransforms> transform{};
    D3DMATERIAL9 material{};
    std::map<DWORD, Light> lights; // by index; set or enabled once
    D3DVIEWPORT9 viewport{};
    std::array<TextureBase*, kStages> texture{};
    std::array<Stream, kStreams> streams{};
    IndexBuffer* indices = nullptr;
    VertexDeclaration* declaration = nullptr;
    DWORD fvf = 0;
    VertexShader* vertexShader = nullptr;
    PixelShader* pixelShader = nullptr;
    std::array<std::array<float, 4>, kVertexConstants> vertexConstants{};
    std::array<std::array<float, 4>, kPixelConstants> pixelConstants{};
    std::array<Surface*, kTargets> targets{};
    Surface* depth = nullptr;
    UINT palette = 0xFFFF; // current texture palette
};

// Whether a render, stage or sampler state number is one the platform knows.
bool ValidRenderState(DWORD state);
bool ValidStageState(DWORD state);
bool ValidSamplerState(DWORD state);

// The seam to the rasteriser ----------------------------------------------------------------------

// One draw, validated: every vertex it reads lies inside its stream (or the user's memory) and
// every index inside the index buffer. Vertex positions are fetched through `elements`.
struct DrawCall {
    D3DPRIMITIVETYPE type = D3DPT_TRIANGLELIST;
    UINT primitives = 0;
    UINT vertices = 0; // vertices (or indices) the primitives take
    bool indexed = false;
    UINT startVertex = 0; // non-indexed draws
    INT baseVertex = 0;   // indexed draws: added to every index
    UINT minIndex = 0;
    UINT numVertices = 0;
    const BYTE* indexData = nullptr; // indexed: the first index used
    D3DFORMAT indexFormat = D3DFMT_INDEX16;
    // The first and last vertex the primitives read (indexed: the smallest and largest index plus
    // baseVertex), found when the call is checked.
    std::uint64_t lowVertex = 0, highVertex = 0;
    // User-memory draws: stream 0 is this memory with this stride.
    const BYTE* userVertices = nullptr;
    UINT userStride = 0;
    std::vector<D3DVERTEXELEMENT9> elements; // from the declaration or the FVF
};

// Draws one call into the device's render targets with its state. Defined by the rasteriser.
void RasteriseDraw(Device& device, const DrawCall& call);

// Runs rows(context, first, end) over the rows [0, count), each `rowBytes` long: in pieces on the
// rasteriser's threads when they hold many bytes and the threads are awake, else at once on this
// thread. Defined by the rasteriser.
void ShareRows(int count, std::size_t rowBytes, void (*rows)(void* context, int first, int end), void* context);

// The device ----------------------------------------------------------------------------------------

class Direct3D;

class Device final : public IDirect3DDevice9 {
public:
    Device(Direct3D* d3d, UINT adapter, const D3d9Adapter& config, HWND focus, DWORD flags);
    ~Device();

    // Creates the implicit swap chain from checked parameters; false when it cannot.
    HRESULT Start(D3DPRESENT_PARAMETERS* params);

    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT TestCooperativeLevel() override;
    UINT GetAvailableTextureMem() override;
    HRESULT EvictManagedResources() override;
    HRESULT GetDeviceCaps(D3DCAPS9* caps) override;
    HRESULT CreateAdditionalSwapChain(D3DPRESENT_PARAMETERS* params, IDirect3DSwapChain9** swapChain) override;
    HRESULT Reset(D3DPRESENT_PARAMETERS* params) override;
    HRESULT Present(const RECT* source, const RECT* dest, HWND overrideWindow, const void* dirtyRegion) override;
    HRESULT GetBackBuffer(UINT swapChain, UINT index, D3DBACKBUFFER_TYPE type, IDirect3DSurface9** surface) override;
    HRESULT ValidateDevice(DWORD* passes) override;
    HRESULT CreateTexture(UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                          IDirect3DTexture9** texture, HANDLE* shared) override;
    HRESULT CreateCubeTexture(UINT edge, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                              IDirect3DCubeTexture9** texture, HANDLE* shared) override;
    HRESULT CreateVertexBuffer(UINT length, DWORD usage, DWORD fvf, D3DPOOL pool, IDirect3DVertexBuffer9** buffer,
                               HANDLE* shared) override;
    HRESULT CreateIndexBuffer(UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool, IDirect3DIndexBuffer9** buffer,
                              HANDLE* shared) override;
    HRESULT CreateDepthStencilSurface(UINT width, UINT height, D3DFORMAT format, D3DMULTISAMPLE_TYPE multiSample,
                                      DWORD quality, BOOL discard, IDirect3DSurface9** surface,
                                      HANDLE* shared) override;
    HRESULT CreateOffscreenPlainSurface(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                                        IDirect3DSurface9** surface, HANDLE* shared) override;
    HRESULT CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements,
                                    IDirect3DVertexDeclaration9** declaration) override;
    HRESULT CreateVertexShader(const DWORD* tokens, IDirect3DVertexShader9** shader) override;
    HRESULT CreatePixelShader(const DWORD* tokens, IDirect3DPixelShader9** shader) override;
    HRESULT UpdateSurface(IDirect3DSurface9* source, const RECT* sourceRect, IDirect3DSurface9* dest,
                          const POINT* destPoint) override;
    HRESULT UpdateTexture(IDirect3DBaseTexture9* source, IDirect3DBaseTexture9* dest) override;
    HRESULT GetRenderTargetData(IDirect3DSurface9* renderTarget, IDirect3DSurface9* dest) override;
    HRESULT StretchRect(IDirect3DSurface9* source, const RECT* sourceRect, IDirect3DSurface9* dest,
                        const RECT* destRect, D3DTEXTUREFILTERTYPE filter) override;
    HRESULT ColorFill(IDirect3DSurface9* surface, const RECT* rect, D3DCOLOR color) override;
    HRESULT SetRenderTarget(DWORD index, IDirect3DSurface9* surface) override;
    HRESULT GetRenderTarget(DWORD index, IDirect3DSurface9** surface) override;
    HRESULT SetDepthStencilSurface(IDirect3DSurface9* surface) override;
    HRESULT GetDepthStencilSurface(IDirect3DSurface9** surface) override;
    HRESULT BeginScene() override;
    HRESULT EndScene() override;
    HRESULT Clear(DWORD count, const D3DRECT* rects, DWORD flags, D3DCOLOR color, float z, DWORD stencil) override;
    HRESULT SetTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix) override;
    HRESULT GetTransform(D3DTRANSFORMSTATETYPE state, D3DMATRIX* matrix) override;
    HRESULT SetViewport(const D3DVIEWPORT9* viewport) override;
    HRESULT GetViewport(D3DVIEWPORT9* viewport) override;
    HRESULT SetMaterial(const D3DMATERIAL9* material) override;
    HRESULT GetMaterial(D3DMATERIAL9* material) override;
    HRESULT SetLight(DWORD index, const D3DLIGHT9* light) override;
    HRESULT GetLight(DWORD index, D3DLIGHT9* light) override;
    HRESULT LightEnable(DWORD index, BOOL enable) override;
    HRESULT GetLightEnable(DWORD index, BOOL* enable) override;
    HRESULT SetRenderState(D3DRENDERSTATETYPE state, DWORD value) override;
    HRESULT GetRenderState(D3DRENDERSTATETYPE state, DWORD* value) override;
    HRESULT SetPaletteEntries(UINT palette, const PALETTEENTRY* entries) override;
    HRESULT SetCurrentTexturePalette(UINT palette) override;
    HRESULT SetTexture(DWORD stage, IDirect3DBaseTexture9* texture) override;
    HRESULT GetTexture(DWORD stage, IDirect3DBaseTexture9** texture) override;
    HRESULT SetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE state, DWORD value) override;
    HRESULT GetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE state, DWORD* value) override;
    HRESULT SetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE state, DWORD value) override;
    HRESULT GetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE state, DWORD* value) override;
    HRESULT SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration) override;
    HRESULT SetFVF(DWORD fvf) override;
    HRESULT GetFVF(DWORD* fvf) override;
    HRESULT SetStreamSource(UINT stream, IDirect3DVertexBuffer9* buffer, UINT offset, UINT stride) override;
    HRESULT SetIndices(IDirect3DIndexBuffer9* buffer) override;
    HRESULT SetVertexShader(IDirect3DVertexShader9* shader) override;
    HRESULT SetVertexShaderConstantF(UINT first, const float* values, UINT count) override;
    HRESULT SetPixelShader(IDirect3DPixelShader9* shader) override;
    HRESULT SetPixelShaderConstantF(UINT first, const float* values, UINT count) override;
    HRESULT DrawPrimitive(D3DPRIMITIVETYPE type, UINT startVertex, UINT count) override;
    HRESULT DrawIndexedPrimitive(D3DPRIMITIVETYPE type, INT baseVertex, UINT minIndex, UINT numVertices,
                                 UINT startIndex, UINT count) override;
    HRESULT DrawPrimitiveUP(D3DPRIMITIVETYPE type, UINT count, const void* vertices, UINT stride) override;
    HRESULT DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE type, UINT minIndex, UINT numVertices, UINT count,
                                   const void* indices, D3DFORMAT indexFormat, const void* vertices,
                                   UINT stride) override;

    // Bookkeeping of the objects (Object's constructor and destructor).
    void Register(Object* object);
    void Unregister(Object* object);
    // Whether the device answers lost now (a full-screen window without the focus, or scripted).
    bool Lost();
    // Presents a swap chain's back buffer to a window through the window layer.
    HRESULT PresentSurface(Surface* backBuffer, HWND window);
    // Whether a format may be created with a usage and resource type on this adapter.
    HRESULT CheckFormat(DWORD usage, D3DRESOURCETYPE type, D3DFORMAT format);
    const PALETTEENTRY* CurrentPalette() const;

    Direct3D* d3d;
    UINT adapter;
    D3d9Adapter config;
    HWND focus;
    DWORD flags;
    D3DPRESENT_PARAMETERS params{};
    State state;
    std::map<UINT, std::array<PALETTEENTRY, 256>> palettes;
    SwapChain* swapChain = nullptr; // implicit
    Surface* autoDepth = nullptr;   // implicit
    std::vector<Object*> objects;   // alive, implicit ones included
    ULONG refs = 1;
    bool inScene = false;
    enum class Cooperation { Ok, Lost, NotReset } cooperation = Cooperation::Ok;
    bool scriptedLoss = false; // lost by D3d9LoseDevice: answer lost once
    D3d9Counters counters;

private:
    void ReleaseImplicit();
    HRESULT CreateImplicit();
    void Unbind(Object* object); // drops every binding of the object
    void ResetState();
    template <class T> void Rebind(T*& slot, T* object);
    HRESULT Draw(DrawCall& call);
    // Binds a record behind an interface pointer to a state slot; INVALIDCALL for a foreign one.
    template <class T, class Interface> HRESULT BindSlot(T*& slot, Interface* object);
    // The vertex elements of the bound declaration or FVF.
    void Elements(std::vector<D3DVERTEXELEMENT9>* elements) const;
    void MaybeDelete();
    void UnbindAll();
    HWND Window() const { return params.hDeviceWindow != nullptr ? params.hDeviceWindow : focus; }
    bool busy = false; // inside Release or Reset: objects die without deleting the device
};

// The adapter object.
class Direct3D final : public IDirect3D9 {
public:
    explicit Direct3D(const std::vector<D3d9Adapter>& adapters) : adapters(adapters) {}
    ULONG AddRef() override;
    ULONG Release() override;
    UINT GetAdapterCount() override;
    HRESULT GetAdapterIdentifier(UINT adapter, DWORD flags, D3DADAPTER_IDENTIFIER9* identifier) override;
    UINT GetAdapterModeCount(UINT adapter, D3DFORMAT format) override;
    HRESULT EnumAdapterModes(UINT adapter, D3DFORMAT format, UINT mode, D3DDISPLAYMODE* displayMode) override;
    HRESULT GetAdapterDisplayMode(UINT adapter, D3DDISPLAYMODE* displayMode) override;
    HRESULT CheckDeviceType(UINT adapter, D3DDEVTYPE type, D3DFORMAT displayFormat, D3DFORMAT backBufferFormat,
                            BOOL windowed) override;
    HRESULT CheckDeviceFormat(UINT adapter, D3DDEVTYPE type, D3DFORMAT adapterFormat, DWORD usage,
                              D3DRESOURCETYPE resourceType, D3DFORMAT format) override;
    HRESULT CheckDepthStencilMatch(UINT adapter, D3DDEVTYPE type, D3DFORMAT adapterFormat, D3DFORMAT renderTargetFormat,
                                   D3DFORMAT depthFormat) override;
    HRESULT GetDeviceCaps(UINT adapter, D3DDEVTYPE type, D3DCAPS9* caps) override;
    HRESULT CreateDevice(UINT adapter, D3DDEVTYPE type, HWND focusWindow, DWORD flags, D3DPRESENT_PARAMETERS* params,
                         IDirect3DDevice9** device) override;

    std::vector<D3d9Adapter> adapters;
    ULONG refs = 1;
    ULONG devices = 0; // devices alive keep this object
};

// Answers a format check against an adapter's tables.
HRESULT CheckFormat(const D3d9Adapter& adapter, DWORD usage, D3DRESOURCETYPE type, D3DFORMAT format);
// Checks and completes presentation parameters for a device window; INVALIDCALL when unusable.
HRESULT CompleteParams(const D3d9Adapter& adapter, HWND focus, D3DPRESENT_PARAMETERS* params, bool swapChain);

// The call log and scripted failures (platform/d3d9.cpp).
bool LogOn();
void Log(std::string line);
// Whether a scripted failure answers this call of `method`, and with what.
bool Scripted(const char* method, HRESULT* result);

template <class T> inline void AppendArg(std::string& s, const T* p) { s += p != nullptr ? "ptr" : "null"; }
inline void AppendArg(std::string& s, std::nullptr_t) { s += "null"; }
template <class T>
requires std::is_arithmetic_v<T>
inline void AppendArg(std::string& s, T v) { s += std::to_string(v); }

// Logs "method(a, b, ...)" when the log is on.
template <class... A> void LogCall(const char* method, const A&... args) {
    if (!LogOn())
        return;
    std::string s = method;
    s += '(';
    bool first = true;
    ((s += first ? "" : ", ", first = false, AppendArg(s, args)), ...);
    s += ')';
    Log(std::move(s));
}

} // namespace d3d9
