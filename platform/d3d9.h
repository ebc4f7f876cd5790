#pragma once
// Direct3D 9: the entry point, the adapter object, the device and its resources, with the
// platform's numbers for every format, flag, state and result code the system stores or
// compares. Only what the system calls is declared.
//
// Reference counting follows the platform: AddRef and Release answer the external count;
// binding an object to the device (SetTexture, SetStreamSource, SetRenderTarget...) keeps it
// alive without raising that count; a surface got from a texture, a cube texture or a swap chain
// counts on its container and lives as long as the container does. Every object keeps its
// device alive, so the system may release in any order.
//
// The stand-in's controls (adapters, caps presets, scripted failures, the call log) are in
// platform/d3d9_control.h.

#include "platform/win32.h"

#include <cstdint>

using INT = int;

// ---------------------------------------------------------------------------------------------
// Result codes
// ---------------------------------------------------------------------------------------------

inline constexpr HRESULT D3D_OK = S_OK;
inline constexpr HRESULT D3DOK_NOAUTOGEN = 0x0876086F; // success, but mip levels are not generated
inline constexpr HRESULT D3DERR_WRONGTEXTUREFORMAT = static_cast<HRESULT>(0x88760818u);
inline constexpr HRESULT D3DERR_UNSUPPORTEDCOLOROPERATION = static_cast<HRESULT>(0x88760819u);
inline constexpr HRESULT D3DERR_UNSUPPORTEDALPHAOPERATION = static_cast<HRESULT>(0x8876081Bu);
inline constexpr HRESULT D3DERR_TOOMANYOPERATIONS = static_cast<HRESULT>(0x8876081Du);
inline constexpr HRESULT D3DERR_OUTOFVIDEOMEMORY = static_cast<HRESULT>(0x8876017Cu);
inline constexpr HRESULT D3DERR_NOTFOUND = static_cast<HRESULT>(0x88760866u);
inline constexpr HRESULT D3DERR_DEVICELOST = static_cast<HRESULT>(0x88760868u);
inline constexpr HRESULT D3DERR_DEVICENOTRESET = static_cast<HRESULT>(0x88760869u);
inline constexpr HRESULT D3DERR_NOTAVAILABLE = static_cast<HRESULT>(0x8876086Au);
inline constexpr HRESULT D3DERR_INVALIDDEVICE = static_cast<HRESULT>(0x8876086Bu);
inline constexpr HRESULT D3DERR_INVALIDCALL = static_cast<HRESULT>(0x8876086Cu);

inline constexpr UINT D3D_SDK_VERSION = 32;
inline constexpr UINT D3DADAPTER_DEFAULT = 0;

// ---------------------------------------------------------------------------------------------
// Enumerations (plain numbers, as the system stores them)
// ---------------------------------------------------------------------------------------------

using D3DCOLOR = DWORD; // 0xAARRGGBB

using D3DFORMAT = DWORD;
inline constexpr D3DFORMAT D3DFMT_UNKNOWN = 0;
inline constexpr D3DFORMAT D3DFMT_R8G8B8 = 20;
inline constexpr D3DFORMAT D3DFMT_A8R8G8B8 = 21;
inline constexpr D3DFORMAT D3DFMT_X8R8G8B8 = 22;
inline constexpr D3DFORMAT D3DFMT_R5G6B5 = 23;
inline constexpr D3DFORMAT D3DFMT_X1R5G5B5 = 24;
inline constexpr D3DFORMAT D3DFMT_A1R5G5B5 = 25;
inline constexpr D3DFORMAT D3DFMT_A4R4G4B4 = 26;
inline constexpr D3DFORMAT D3DFMT_R3G3B2 = 27;
inline constexpr D3DFORMAT D3DFMT_A8 = 28;
inline constexpr D3DFORMAT D3DFMT_A8R3G3B2 = 29;
inline constexpr D3DFORMAT D3DFMT_X4R4G4B4 = 30;
inline constexpr D3DFORMAT D3DFMT_A2B10G10R10 = 31;
inline constexpr D3DFORMAT D3DFMT_A8B8G8R8 = 32;
inline constexpr D3DFORMAT D3DFMT_X8B8G8R8 = 33;
inline constexpr D3DFORMAT D3DFMT_A2R10G10B10 = 35;
inline constexpr D3DFORMAT D3DFMT_A8P8 = 40;
inline constexpr D3DFORMAT D3DFMT_P8 = 41;
inline constexpr D3DFORMAT D3DFMT_L8 = 50;
inline constexpr D3DFORMAT D3DFMT_A8L8 = 51;
inline constexpr D3DFORMAT D3DFMT_A4L4 = 52;
inline constexpr D3DFORMAT D3DFMT_D16_LOCKABLE = 70;
inline constexpr D3DFORMAT D3DFMT_D32 = 71;
inline constexpr D3DFORMAT D3DFMT_D15S1 = 73;
inline constexpr D3DFORMAT D3DFMT_D24S8 = 75;
inline constexpr D3DFORMAT D3DFMT_D24X8 = 77;
inline constexpr D3DFORMAT D3DFMT_D24X4S4 = 79;
inline constexpr D3DFORMAT D3DFMT_D16 = 80;
inline constexpr D3DFORMAT D3DFMT_D32F_LOCKABLE = 82;
inline constexpr D3DFORMAT D3DFMT_D24FS8 = 83;
inline constexpr D3DFORMAT D3DFMT_INDEX16 = 101;
inline constexpr D3DFORMAT D3DFMT_INDEX32 = 102;
constexpr D3DFORMAT D3DMakeFourCC(char a, char b, char c, char d) {
    return static_cast<DWORD>(static_cast<BYTE>(a)) | static_cast<DWORD>(static_cast<BYTE>(b)) << 8 |
           static_cast<DWORD>(static_cast<BYTE>(c)) << 16 | static_cast<DWORD>(static_cast<BYTE>(d)) << 24;
}
inline constexpr D3DFORMAT D3DFMT_DXT1 = D3DMakeFourCC('D', 'X', 'T', '1');
inline constexpr D3DFORMAT D3DFMT_DXT2 = D3DMakeFourCC('D', 'X', 'T', '2');
inline constexpr D3DFORMAT D3DFMT_DXT3 = D3DMakeFourCC('D', 'X', 'T', '3');
inline constexpr D3DFORMAT D3DFMT_DXT4 = D3DMakeFourCC('D', 'X', 'T', '4');
inline constexpr D3DFORMAT D3DFMT_DXT5 = D3DMakeFourCC('D', 'X', 'T', '5');

using D3DDEVTYPE = DWORD;
inline constexpr D3DDEVTYPE D3DDEVTYPE_HAL = 1;

using D3DPOOL = DWORD;
inline constexpr D3DPOOL D3DPOOL_DEFAULT = 0;
inline constexpr D3DPOOL D3DPOOL_MANAGED = 1;
inline constexpr D3DPOOL D3DPOOL_SYSTEMMEM = 2;
inline constexpr D3DPOOL D3DPOOL_SCRATCH = 3;

using D3DRESOURCETYPE = DWORD;
inline constexpr D3DRESOURCETYPE D3DRTYPE_SURFACE = 1;
inline constexpr D3DRESOURCETYPE D3DRTYPE_TEXTURE = 3;
inline constexpr D3DRESOURCETYPE D3DRTYPE_CUBETEXTURE = 5;
inline constexpr D3DRESOURCETYPE D3DRTYPE_VERTEXBUFFER = 6;
inline constexpr D3DRESOURCETYPE D3DRTYPE_INDEXBUFFER = 7;

using D3DMULTISAMPLE_TYPE = DWORD;
inline constexpr D3DMULTISAMPLE_TYPE D3DMULTISAMPLE_NONE = 0;

using D3DSWAPEFFECT = DWORD;
inline constexpr D3DSWAPEFFECT D3DSWAPEFFECT_DISCARD = 1;
inline constexpr D3DSWAPEFFECT D3DSWAPEFFECT_FLIP = 2;
inline constexpr D3DSWAPEFFECT D3DSWAPEFFECT_COPY = 3;

using D3DBACKBUFFER_TYPE = DWORD;
inline constexpr D3DBACKBUFFER_TYPE D3DBACKBUFFER_TYPE_MONO = 0;

using D3DCUBEMAP_FACES = DWORD; // 0..5: +x, -x, +y, -y, +z, -z

using D3DTEXTUREFILTERTYPE = DWORD;
inline constexpr D3DTEXTUREFILTERTYPE D3DTEXF_NONE = 0;
inline constexpr D3DTEXTUREFILTERTYPE D3DTEXF_POINT = 1;
inline constexpr D3DTEXTUREFILTERTYPE D3DTEXF_LINEAR = 2;
inline constexpr D3DTEXTUREFILTERTYPE D3DTEXF_ANISOTROPIC = 3;

using D3DPRIMITIVETYPE = DWORD;
inline constexpr D3DPRIMITIVETYPE D3DPT_POINTLIST = 1;
inline constexpr D3DPRIMITIVETYPE D3DPT_LINELIST = 2;
inline constexpr D3DPRIMITIVETYPE D3DPT_LINESTRIP = 3;
inline constexpr D3DPRIMITIVETYPE D3DPT_TRIANGLELIST = 4;
inline constexpr D3DPRIMITIVETYPE D3DPT_TRIANGLESTRIP = 5;
inline constexpr D3DPRIMITIVETYPE D3DPT_TRIANGLEFAN = 6;

using D3DTRANSFORMSTATETYPE = DWORD;
inline constexpr D3DTRANSFORMSTATETYPE D3DTS_VIEW = 2;
inline constexpr D3DTRANSFORMSTATETYPE D3DTS_PROJECTION = 3;
inline constexpr D3DTRANSFORMSTATETYPE D3DTS_TEXTURE0 = 16; // ..23 for stages 0..7
inline constexpr D3DTRANSFORMSTATETYPE D3DTS_WORLD = 256;   // world matrix n is 256 + n, n < 256
constexpr D3DTRANSFORMSTATETYPE D3DTS_WORLDMATRIX(UINT n) { return 256 + n; }

using D3DLIGHTTYPE = DWORD;
inline constexpr D3DLIGHTTYPE D3DLIGHT_POINT = 1;
inline constexpr D3DLIGHTTYPE D3DLIGHT_SPOT = 2;
inline constexpr D3DLIGHTTYPE D3DLIGHT_DIRECTIONAL = 3;

// Usage flags of resources.
inline constexpr DWORD D3DUSAGE_RENDERTARGET = 0x1;
inline constexpr DWORD D3DUSAGE_DEPTHSTENCIL = 0x2;
inline constexpr DWORD D3DUSAGE_WRITEONLY = 0x8;
inline constexpr DWORD D3DUSAGE_SOFTWAREPROCESSING = 0x10;
inline constexpr DWORD D3DUSAGE_DONOTCLIP = 0x20;
inline constexpr DWORD D3DUSAGE_POINTS = 0x40;
inline constexpr DWORD D3DUSAGE_DYNAMIC = 0x200;
inline constexpr DWORD D3DUSAGE_AUTOGENMIPMAP = 0x400;

// Lock flags.
inline constexpr DWORD D3DLOCK_READONLY = 0x10;
inline constexpr DWORD D3DLOCK_NOSYSLOCK = 0x800;
inline constexpr DWORD D3DLOCK_NOOVERWRITE = 0x1000;
inline constexpr DWORD D3DLOCK_DISCARD = 0x2000;
inline constexpr DWORD D3DLOCK_NO_DIRTY_UPDATE = 0x8000;

// Clear flags.
inline constexpr DWORD D3DCLEAR_TARGET = 0x1;
inline constexpr DWORD D3DCLEAR_ZBUFFER = 0x2;
inline constexpr DWORD D3DCLEAR_STENCIL = 0x4;

// Device creation flags.
inline constexpr DWORD D3DCREATE_FPU_PRESERVE = 0x2;
inline constexpr DWORD D3DCREATE_MULTITHREADED = 0x4;
inline constexpr DWORD D3DCREATE_PUREDEVICE = 0x10;
inline constexpr DWORD D3DCREATE_SOFTWARE_VERTEXPROCESSING = 0x20;
inline constexpr DWORD D3DCREATE_HARDWARE_VERTEXPROCESSING = 0x40;
inline constexpr DWORD D3DCREATE_MIXED_VERTEXPROCESSING = 0x80;

// Presentation.
inline constexpr DWORD D3DPRESENTFLAG_LOCKABLE_BACKBUFFER = 0x1;
inline constexpr UINT D3DPRESENT_INTERVAL_DEFAULT = 0;
inline constexpr UINT D3DPRESENT_INTERVAL_ONE = 1;
inline constexpr UINT D3DPRESENT_INTERVAL_IMMEDIATE = 0x80000000u;

// Flexible vertex format bits.
inline constexpr DWORD D3DFVF_XYZ = 0x2;
inline constexpr DWORD D3DFVF_XYZRHW = 0x4;
inline constexpr DWORD D3DFVF_XYZB1 = 0x6;
inline constexpr DWORD D3DFVF_XYZB2 = 0x8;
inline constexpr DWORD D3DFVF_XYZB3 = 0xA;
inline constexpr DWORD D3DFVF_XYZB4 = 0xC;
inline constexpr DWORD D3DFVF_XYZB5 = 0xE;
inline constexpr DWORD D3DFVF_XYZW = 0x4002;
inline constexpr DWORD D3DFVF_POSITION_MASK = 0x400E;
inline constexpr DWORD D3DFVF_NORMAL = 0x10;
inline constexpr DWORD D3DFVF_PSIZE = 0x20;
inline constexpr DWORD D3DFVF_DIFFUSE = 0x40;
inline constexpr DWORD D3DFVF_SPECULAR = 0x80;
inline constexpr DWORD D3DFVF_TEXCOUNT_MASK = 0xF00;
inline constexpr DWORD D3DFVF_TEXCOUNT_SHIFT = 8;
inline constexpr DWORD D3DFVF_TEX1 = 0x100;
inline constexpr DWORD D3DFVF_TEX2 = 0x200;
inline constexpr DWORD D3DFVF_LASTBETA_UBYTE4 = 0x1000;
inline constexpr DWORD D3DFVF_LASTBETA_D3DCOLOR = 0x8000;
// Coordinate count of texture set i: bits 16 + 2i (0: two floats, 1: three, 2: four, 3: one).
constexpr DWORD D3DFVF_TEXCOORDSIZE1(int i) { return 3u << (16 + i * 2); }
constexpr DWORD D3DFVF_TEXCOORDSIZE2(int) { return 0; }
constexpr DWORD D3DFVF_TEXCOORDSIZE3(int i) { return 1u << (16 + i * 2); }
constexpr DWORD D3DFVF_TEXCOORDSIZE4(int i) { return 2u << (16 + i * 2); }

// Vertex declaration element types, methods and usages.
using D3DDECLTYPE = BYTE;
inline constexpr BYTE D3DDECLTYPE_FLOAT1 = 0;
inline constexpr BYTE D3DDECLTYPE_FLOAT2 = 1;
inline constexpr BYTE D3DDECLTYPE_FLOAT3 = 2;
inline constexpr BYTE D3DDECLTYPE_FLOAT4 = 3;
inline constexpr BYTE D3DDECLTYPE_D3DCOLOR = 4;
inline constexpr BYTE D3DDECLTYPE_UBYTE4 = 5;
inline constexpr BYTE D3DDECLTYPE_SHORT2 = 6;
inline constexpr BYTE D3DDECLTYPE_SHORT4 = 7;
inline constexpr BYTE D3DDECLTYPE_UBYTE4N = 8;
inline constexpr BYTE D3DDECLTYPE_SHORT2N = 9;
inline constexpr BYTE D3DDECLTYPE_SHORT4N = 10;
inline constexpr BYTE D3DDECLTYPE_USHORT2N = 11;
inline constexpr BYTE D3DDECLTYPE_USHORT4N = 12;
inline constexpr BYTE D3DDECLTYPE_UDEC3 = 13;
inline constexpr BYTE D3DDECLTYPE_DEC3N = 14;
inline constexpr BYTE D3DDECLTYPE_FLOAT16_2 = 15;
inline constexpr BYTE D3DDECLTYPE_FLOAT16_4 = 16;
inline constexpr BYTE D3DDECLTYPE_UNUSED = 17;
inline constexpr BYTE D3DDECLMETHOD_DEFAULT = 0;
inline constexpr BYTE D3DDECLUSAGE_POSITION = 0;
inline constexpr BYTE D3DDECLUSAGE_BLENDWEIGHT = 1;
inline constexpr BYTE D3DDECLUSAGE_BLENDINDICES = 2;
inline constexpr BYTE D3DDECLUSAGE_NORMAL = 3;
inline constexpr BYTE D3DDECLUSAGE_PSIZE = 4;
inline constexpr BYTE D3DDECLUSAGE_TEXCOORD = 5;
inline constexpr BYTE D3DDECLUSAGE_TANGENT = 6;
inline constexpr BYTE D3DDECLUSAGE_BINORMAL = 7;
inline constexpr BYTE D3DDECLUSAGE_TESSFACTOR = 8;
inline constexpr BYTE D3DDECLUSAGE_POSITIONT = 9;
inline constexpr BYTE D3DDECLUSAGE_COLOR = 10;
inline constexpr BYTE D3DDECLUSAGE_FOG = 11;
inline constexpr BYTE D3DDECLUSAGE_DEPTH = 12;
inline constexpr BYTE D3DDECLUSAGE_SAMPLE = 13;

// Capability bits the system reads.
inline constexpr DWORD D3DCAPS2_CANAUTOGENMIPMAP = 0x40000000;
inline constexpr DWORD D3DDEVCAPS_HWTRANSFORMANDLIGHT = 0x10000;
inline constexpr DWORD D3DDEVCAPS_PUREDEVICE = 0x100000;
inline constexpr DWORD D3DDEVCAPS2_STREAMOFFSET = 0x1;
inline constexpr DWORD D3DPRASTERCAPS_DITHER = 0x1;
inline constexpr DWORD D3DPRASTERCAPS_ZTEST = 0x10;
inline constexpr DWORD D3DPRASTERCAPS_FOGVERTEX = 0x80;
inline constexpr DWORD D3DPRASTERCAPS_FOGTABLE = 0x100;
inline constexpr DWORD D3DPRASTERCAPS_FOGRANGE = 0x10000;
inline constexpr DWORD D3DPRASTERCAPS_WFOG = 0x100000;
inline constexpr DWORD D3DPTEXTURECAPS_PERSPECTIVE = 0x1;
inline constexpr DWORD D3DPTEXTURECAPS_POW2 = 0x2;
inline constexpr DWORD D3DPTEXTURECAPS_ALPHA = 0x4;
inline constexpr DWORD D3DPTEXTURECAPS_SQUAREONLY = 0x20;
inline constexpr DWORD D3DPTEXTURECAPS_ALPHAPALETTE = 0x80;
inline constexpr DWORD D3DPTEXTURECAPS_NONPOW2CONDITIONAL = 0x100;
inline constexpr DWORD D3DPTEXTURECAPS_MIPMAP = 0x4000;
inline constexpr DWORD D3DPTEXTURECAPS_CUBEMAP = 0x800;
inline constexpr DWORD D3DPTFILTERCAPS_MINFPOINT = 0x100;
inline constexpr DWORD D3DPTFILTERCAPS_MINFLINEAR = 0x200;
inline constexpr DWORD D3DPTFILTERCAPS_MIPFPOINT = 0x10000;
inline constexpr DWORD D3DPTFILTERCAPS_MIPFLINEAR = 0x20000;
inline constexpr DWORD D3DPTFILTERCAPS_MAGFPOINT = 0x1000000;
inline constexpr DWORD D3DPTFILTERCAPS_MAGFLINEAR = 0x2000000;
inline constexpr DWORD D3DPTFILTERCAPS_MAGFANISOTROPIC = 0x4000000;
inline constexpr DWORD D3DPTADDRESSCAPS_WRAP = 0x1;
inline constexpr DWORD D3DPTADDRESSCAPS_MIRROR = 0x2;
inline constexpr DWORD D3DPTADDRESSCAPS_CLAMP = 0x4;
inline constexpr DWORD D3DPTADDRESSCAPS_BORDER = 0x8;
inline constexpr DWORD D3DFVFCAPS_PSIZE = 0x100000;
inline constexpr DWORD D3DTEXOPCAPS_DISABLE = 0x1;
inline constexpr DWORD D3DTEXOPCAPS_SELECTARG1 = 0x2;
inline constexpr DWORD D3DTEXOPCAPS_SELECTARG2 = 0x4;
inline constexpr DWORD D3DTEXOPCAPS_MODULATE = 0x8;
inline constexpr DWORD D3DTEXOPCAPS_MODULATE2X = 0x10;
inline constexpr DWORD D3DTEXOPCAPS_ADD = 0x40;
inline constexpr DWORD D3DTEXOPCAPS_BLENDTEXTUREALPHA = 0x1000;
inline constexpr DWORD D3DTEXOPCAPS_MULTIPLYADD = 0x1000000;
inline constexpr DWORD D3DDTCAPS_UBYTE4 = 0x1;
inline constexpr DWORD D3DDTCAPS_UBYTE4N = 0x2;
inline constexpr DWORD D3DDTCAPS_SHORT2N = 0x4;
inline constexpr DWORD D3DDTCAPS_SHORT4N = 0x8;
inline constexpr DWORD D3DDTCAPS_USHORT2N = 0x10;
inline constexpr DWORD D3DDTCAPS_USHORT4N = 0x20;
inline constexpr DWORD D3DDTCAPS_DEC3N = 0x80;
constexpr DWORD D3DVS_VERSION(int major, int minor) { return 0xFFFE0000u | (major << 8) | minor; }
constexpr DWORD D3DPS_VERSION(int major, int minor) { return 0xFFFF0000u | (major << 8) | minor; }

// Render states.
using D3DRENDERSTATETYPE = DWORD;
inline constexpr DWORD D3DRS_ZENABLE = 7;
inline constexpr DWORD D3DRS_FILLMODE = 8;
inline constexpr DWORD D3DRS_SHADEMODE = 9;
inline constexpr DWORD D3DRS_ZWRITEENABLE = 14;
inline constexpr DWORD D3DRS_ALPHATESTENABLE = 15;
inline constexpr DWORD D3DRS_LASTPIXEL = 16;
inline constexpr DWORD D3DRS_SRCBLEND = 19;
inline constexpr DWORD D3DRS_DESTBLEND = 20;
inline constexpr DWORD D3DRS_CULLMODE = 22;
inline constexpr DWORD D3DRS_ZFUNC = 23;
inline constexpr DWORD D3DRS_ALPHAREF = 24;
inline constexpr DWORD D3DRS_ALPHAFUNC = 25;
inline constexpr DWORD D3DRS_DITHERENABLE = 26;
inline constexpr DWORD D3DRS_ALPHABLENDENABLE = 27;
inline constexpr DWORD D3DRS_FOGENABLE = 28;
inline constexpr DWORD D3DRS_SPECULARENABLE = 29;
inline constexpr DWORD D3DRS_FOGCOLOR = 34;
inline constexpr DWORD D3DRS_FOGTABLEMODE = 35;
inline constexpr DWORD D3DRS_FOGSTART = 36;
inline constexpr DWORD D3DRS_FOGEND = 37;
inline constexpr DWORD D3DRS_FOGDENSITY = 38;
inline constexpr DWORD D3DRS_RANGEFOGENABLE = 48;
inline constexpr DWORD D3DRS_STENCILENABLE = 52;
inline constexpr DWORD D3DRS_STENCILFAIL = 53;
inline constexpr DWORD D3DRS_STENCILZFAIL = 54;
inline constexpr DWORD D3DRS_STENCILPASS = 55;
inline constexpr DWORD D3DRS_STENCILFUNC = 56;
inline constexpr DWORD D3DRS_STENCILREF = 57;
inline constexpr DWORD D3DRS_STENCILMASK = 58;
inline constexpr DWORD D3DRS_STENCILWRITEMASK = 59;
inline constexpr DWORD D3DRS_TEXTUREFACTOR = 60;
inline constexpr DWORD D3DRS_WRAP0 = 128; // ..135
inline constexpr DWORD D3DRS_CLIPPING = 136;
inline constexpr DWORD D3DRS_LIGHTING = 137;
inline constexpr DWORD D3DRS_AMBIENT = 139;
inline constexpr DWORD D3DRS_FOGVERTEXMODE = 140;
inline constexpr DWORD D3DRS_COLORVERTEX = 141;
inline constexpr DWORD D3DRS_LOCALVIEWER = 142;
inline constexpr DWORD D3DRS_NORMALIZENORMALS = 143;
inline constexpr DWORD D3DRS_DIFFUSEMATERIALSOURCE = 145;
inline constexpr DWORD D3DRS_SPECULARMATERIALSOURCE = 146;
inline constexpr DWORD D3DRS_AMBIENTMATERIALSOURCE = 147;
inline constexpr DWORD D3DRS_EMISSIVEMATERIALSOURCE = 148;
inline constexpr DWORD D3DRS_VERTEXBLEND = 151;
inline constexpr DWORD D3DRS_CLIPPLANEENABLE = 152;
inline constexpr DWORD D3DRS_POINTSIZE = 154;
inline constexpr DWORD D3DRS_POINTSIZE_MIN = 155;
inline constexpr DWORD D3DRS_POINTSPRITEENABLE = 156;
inline constexpr DWORD D3DRS_POINTSCALEENABLE = 157;
inline constexpr DWORD D3DRS_POINTSCALE_A = 158;
inline constexpr DWORD D3DRS_POINTSCALE_B = 159;
inline constexpr DWORD D3DRS_POINTSCALE_C = 160;
inline constexpr DWORD D3DRS_MULTISAMPLEANTIALIAS = 161;
inline constexpr DWORD D3DRS_MULTISAMPLEMASK = 162;
inline constexpr DWORD D3DRS_POINTSIZE_MAX = 166;
inline constexpr DWORD D3DRS_INDEXEDVERTEXBLENDENABLE = 167;
inline constexpr DWORD D3DRS_COLORWRITEENABLE = 168;
inline constexpr DWORD D3DRS_TWEENFACTOR = 170;
inline constexpr DWORD D3DRS_BLENDOP = 171;
inline constexpr DWORD D3DRS_SCISSORTESTENABLE = 174;
inline constexpr DWORD D3DRS_SLOPESCALEDEPTHBIAS = 175;
inline constexpr DWORD D3DRS_BLENDFACTOR = 193;
inline constexpr DWORD D3DRS_SRGBWRITEENABLE = 194;
inline constexpr DWORD D3DRS_DEPTHBIAS = 195;
inline constexpr DWORD D3DRS_SEPARATEALPHABLENDENABLE = 206;
inline constexpr DWORD D3DRS_SRCBLENDALPHA = 207;
inline constexpr DWORD D3DRS_DESTBLENDALPHA = 208;
inline constexpr DWORD D3DRS_BLENDOPALPHA = 209;

// Render-state values.
inline constexpr DWORD D3DZB_FALSE = 0;
inline constexpr DWORD D3DZB_TRUE = 1;
inline constexpr DWORD D3DFILL_POINT = 1;
inline constexpr DWORD D3DFILL_WIREFRAME = 2;
inline constexpr DWORD D3DFILL_SOLID = 3;
inline constexpr DWORD D3DSHADE_FLAT = 1;
inline constexpr DWORD D3DSHADE_GOURAUD = 2;
inline constexpr DWORD D3DCULL_NONE = 1;
inline constexpr DWORD D3DCULL_CW = 2;
inline constexpr DWORD D3DCULL_CCW = 3;
inline constexpr DWORD D3DCMP_NEVER = 1;
inline constexpr DWORD D3DCMP_LESS = 2;
inline constexpr DWORD D3DCMP_EQUAL = 3;
inline constexpr DWORD D3DCMP_LESSEQUAL = 4;
inline constexpr DWORD D3DCMP_GREATER = 5;
inline constexpr DWORD D3DCMP_NOTEQUAL = 6;
inline constexpr DWORD D3DCMP_GREATEREQUAL = 7;
inline constexpr DWORD D3DCMP_ALWAYS = 8;
inline constexpr DWORD D3DBLEND_ZERO = 1;
inline constexpr DWORD D3DBLEND_ONE = 2;
inline constexpr DWORD D3DBLEND_SRCCOLOR = 3;
inline constexpr DWORD D3DBLEND_INVSRCCOLOR = 4;
inline constexpr DWORD D3DBLEND_SRCALPHA = 5;
inline constexpr DWORD D3DBLEND_INVSRCALPHA = 6;
inline constexpr DWORD D3DBLEND_DESTALPHA = 7;
inline constexpr DWORD D3DBLEND_INVDESTALPHA = 8;
inline constexpr DWORD D3DBLEND_DESTCOLOR = 9;
inline constexpr DWORD D3DBLEND_INVDESTCOLOR = 10;
inline constexpr DWORD D3DBLEND_SRCALPHASAT = 11;
inline constexpr DWORD D3DBLENDOP_ADD = 1;
inline constexpr DWORD D3DSTENCILOP_KEEP = 1;
inline constexpr DWORD D3DFOG_NONE = 0;
inline constexpr DWORD D3DFOG_EXP = 1;
inline constexpr DWORD D3DFOG_EXP2 = 2;
inline constexpr DWORD D3DFOG_LINEAR = 3;
inline constexpr DWORD D3DMCS_MATERIAL = 0;
inline constexpr DWORD D3DMCS_COLOR1 = 1;
inline constexpr DWORD D3DMCS_COLOR2 = 2;

// Texture-stage states, operations and arguments.
using D3DTEXTURESTAGESTATETYPE = DWORD;
inline constexpr DWORD D3DTSS_COLOROP = 1;
inline constexpr DWORD D3DTSS_COLORARG1 = 2;
inline constexpr DWORD D3DTSS_COLORARG2 = 3;
inline constexpr DWORD D3DTSS_ALPHAOP = 4;
inline constexpr DWORD D3DTSS_ALPHAARG1 = 5;
inline constexpr DWORD D3DTSS_ALPHAARG2 = 6;
inline constexpr DWORD D3DTSS_BUMPENVMAT00 = 7;
inline constexpr DWORD D3DTSS_BUMPENVMAT01 = 8;
inline constexpr DWORD D3DTSS_BUMPENVMAT10 = 9;
inline constexpr DWORD D3DTSS_BUMPENVMAT11 = 10;
inline constexpr DWORD D3DTSS_TEXCOORDINDEX = 11;
inline constexpr DWORD D3DTSS_BUMPENVLSCALE = 22;
inline constexpr DWORD D3DTSS_BUMPENVLOFFSET = 23;
inline constexpr DWORD D3DTSS_TEXTURETRANSFORMFLAGS = 24;
inline constexpr DWORD D3DTSS_COLORARG0 = 26;
inline constexpr DWORD D3DTSS_ALPHAARG0 = 27;
inline constexpr DWORD D3DTSS_RESULTARG = 28;
inline constexpr DWORD D3DTSS_CONSTANT = 32;
inline constexpr DWORD D3DTSS_TCI_PASSTHRU = 0x0;
inline constexpr DWORD D3DTSS_TCI_CAMERASPACENORMAL = 0x10000;
inline constexpr DWORD D3DTSS_TCI_CAMERASPACEPOSITION = 0x20000;
inline constexpr DWORD D3DTSS_TCI_CAMERASPACEREFLECTIONVECTOR = 0x30000;
inline constexpr DWORD D3DTTFF_DISABLE = 0;
inline constexpr DWORD D3DTTFF_COUNT1 = 1;
inline constexpr DWORD D3DTTFF_COUNT2 = 2;
inline constexpr DWORD D3DTTFF_COUNT3 = 3;
inline constexpr DWORD D3DTTFF_COUNT4 = 4;
inline constexpr DWORD D3DTTFF_PROJECTED = 256;
inline constexpr DWORD D3DTOP_DISABLE = 1;
inline constexpr DWORD D3DTOP_SELECTARG1 = 2;
inline constexpr DWORD D3DTOP_SELECTARG2 = 3;
inline constexpr DWORD D3DTOP_MODULATE = 4;
inline constexpr DWORD D3DTOP_MODULATE2X = 5;
inline constexpr DWORD D3DTOP_MODULATE4X = 6;
inline constexpr DWORD D3DTOP_ADD = 7;
inline constexpr DWORD D3DTOP_BLENDDIFFUSEALPHA = 12;
inline constexpr DWORD D3DTOP_BLENDTEXTUREALPHA = 13;
inline constexpr DWORD D3DTOP_BLENDFACTORALPHA = 14;
inline constexpr DWORD D3DTOP_BLENDCURRENTALPHA = 16;
inline constexpr DWORD D3DTOP_MULTIPLYADD = 25;
inline constexpr DWORD D3DTA_DIFFUSE = 0;
inline constexpr DWORD D3DTA_CURRENT = 1;
inline constexpr DWORD D3DTA_TEXTURE = 2;
inline constexpr DWORD D3DTA_TFACTOR = 3;
inline constexpr DWORD D3DTA_SPECULAR = 4;
inline constexpr DWORD D3DTA_TEMP = 5;
inline constexpr DWORD D3DTA_SELECTMASK = 0xF;
inline constexpr DWORD D3DTA_COMPLEMENT = 0x10;
inline constexpr DWORD D3DTA_ALPHAREPLICATE = 0x20;

// Sampler states and values.
using D3DSAMPLERSTATETYPE = DWORD;
inline constexpr DWORD D3DSAMP_ADDRESSU = 1;
inline constexpr DWORD D3DSAMP_ADDRESSV = 2;
inline constexpr DWORD D3DSAMP_ADDRESSW = 3;
inline constexpr DWORD D3DSAMP_BORDERCOLOR = 4;
inline constexpr DWORD D3DSAMP_MAGFILTER = 5;
inline constexpr DWORD D3DSAMP_MINFILTER = 6;
inline constexpr DWORD D3DSAMP_MIPFILTER = 7;
inline constexpr DWORD D3DSAMP_MIPMAPLODBIAS = 8;
inline constexpr DWORD D3DSAMP_MAXMIPLEVEL = 9;
inline constexpr DWORD D3DSAMP_MAXANISOTROPY = 10;
inline constexpr DWORD D3DTADDRESS_WRAP = 1;
inline constexpr DWORD D3DTADDRESS_MIRROR = 2;
inline constexpr DWORD D3DTADDRESS_CLAMP = 3;
inline constexpr DWORD D3DTADDRESS_BORDER = 4;

// ---------------------------------------------------------------------------------------------
// Structures
// ---------------------------------------------------------------------------------------------

struct D3DDISPLAYMODE {
    UINT Width;
    UINT Height;
    UINT RefreshRate; // Hz
    D3DFORMAT Format;
};

struct D3DPRESENT_PARAMETERS {
    UINT BackBufferWidth; // 0 in a window: the window's client width
    UINT BackBufferHeight;
    D3DFORMAT BackBufferFormat; // UNKNOWN in a window: the desktop format
    UINT BackBufferCount;
    D3DMULTISAMPLE_TYPE MultiSampleType;
    DWORD MultiSampleQuality;
    D3DSWAPEFFECT SwapEffect;
    HWND hDeviceWindow; // null: the focus window
    BOOL Windowed;
    BOOL EnableAutoDepthStencil;
    D3DFORMAT AutoDepthStencilFormat;
    DWORD Flags;
    UINT FullScreen_RefreshRateInHz;
    UINT PresentationInterval;
};

struct D3DVSHADERCAPS2_0 {
    DWORD Caps;
    int DynamicFlowControlDepth;
    int NumTemps;
    int StaticFlowControlDepth;
};

struct D3DCAPS9 {
    D3DDEVTYPE DeviceType;
    UINT AdapterOrdinal;
    DWORD Caps;
    DWORD Caps2;
    DWORD Caps3;
    DWORD PresentationIntervals;
    DWORD DevCaps;
    DWORD PrimitiveMiscCaps;
    DWORD RasterCaps;
    DWORD ZCmpCaps;
    DWORD SrcBlendCaps;
    DWORD DestBlendCaps;
    DWORD AlphaCmpCaps;
    DWORD ShadeCaps;
    DWORD TextureCaps;
    DWORD TextureFilterCaps;
    DWORD CubeTextureFilterCaps;
    DWORD TextureAddressCaps;
    DWORD LineCaps;
    DWORD MaxTextureWidth;
    DWORD MaxTextureHeight;
    DWORD MaxTextureAspectRatio;
    DWORD MaxAnisotropy;
    DWORD StencilCaps;
    DWORD FVFCaps;
    DWORD TextureOpCaps;
    DWORD MaxTextureBlendStages;
    DWORD MaxSimultaneousTextures;
    DWORD VertexProcessingCaps;
    DWORD MaxActiveLights;
    DWORD MaxUserClipPlanes;
    DWORD MaxVertexBlendMatrices;
    DWORD MaxVertexBlendMatrixIndex;
    float MaxPointSize;
    DWORD MaxPrimitiveCount;
    DWORD MaxVertexIndex;
    DWORD MaxStreams;
    DWORD MaxStreamStride;
    DWORD VertexShaderVersion;
    DWORD MaxVertexShaderConst;
    DWORD PixelShaderVersion;
    DWORD DevCaps2;
    DWORD DeclTypes;
    DWORD NumSimultaneousRTs;
    DWORD StretchRectFilterCaps;
    D3DVSHADERCAPS2_0 VS20Caps;
};

struct D3DADAPTER_IDENTIFIER9 {
    char Driver[512];
    char Description[512];
    char DeviceName[32];
    DWORD VendorId;
    DWORD DeviceId;
    DWORD SubSysId;
    DWORD Revision;
    GUID DeviceIdentifier;
    DWORD WHQLLevel;
};

struct D3DLOCKED_RECT {
    INT Pitch; // bytes from one row (of blocks, for compressed formats) to the next
    void* pBits;
};

struct D3DSURFACE_DESC {
    D3DFORMAT Format;
    D3DRESOURCETYPE Type;
    DWORD Usage;
    D3DPOOL Pool;
    D3DMULTISAMPLE_TYPE MultiSampleType;
    DWORD MultiSampleQuality;
    UINT Width;
    UINT Height;
};

struct D3DVIEWPORT9 {
    DWORD X; // offsets in the render target, pixels
    DWORD Y;
    DWORD Width;
    DWORD Height;
    float MinZ; // depth range, 0..1
    float MaxZ;
};

struct D3DMATRIX {
    float m[4][4]; // rows; a point is a row vector multiplied on the left
};

struct D3DVECTOR {
    float x, y, z;
};

struct D3DCOLORVALUE {
    float r, g, b, a;
};

struct D3DMATERIAL9 {
    D3DCOLORVALUE Diffuse;
    D3DCOLORVALUE Ambient;
    D3DCOLORVALUE Specular;
    D3DCOLORVALUE Emissive;
    float Power;
};
static_assert(sizeof(D3DMATERIAL9) == 68);

struct D3DLIGHT9 {
    D3DLIGHTTYPE Type;
    D3DCOLORVALUE Diffuse;
    D3DCOLORVALUE Specular;
    D3DCOLORVALUE Ambient;
    D3DVECTOR Position;  // point and spot lights, world space
    D3DVECTOR Direction; // spot and directional lights, world space
    float Range;         // no light beyond this distance
    float Falloff;       // spot: exponent between the inner and outer cone
    float Attenuation0;  // 1 / (a0 + a1 d + a2 d^2)
    float Attenuation1;
    float Attenuation2;
    float Theta; // spot: inner cone angle, radians
    float Phi;   // spot: outer cone angle, radians
};
static_assert(sizeof(D3DLIGHT9) == 104);

// 8 bytes; stored in files, so its layout is fixed.
struct D3DVERTEXELEMENT9 {
    WORD Stream;
    WORD Offset; // bytes into the stream's vertex
    BYTE Type;   // D3DDECLTYPE_*
    BYTE Method;
    BYTE Usage; // D3DDECLUSAGE_*
    BYTE UsageIndex;
};
static_assert(sizeof(D3DVERTEXELEMENT9) == 8);
// The element that ends a declaration.
inline constexpr D3DVERTEXELEMENT9 D3DDECL_END() { return D3DVERTEXELEMENT9{0xFF, 0, D3DDECLTYPE_UNUSED, 0, 0, 0}; }

struct D3DRECT {
    LONG x1; // left, top, right, bottom; right and bottom exclusive
    LONG y1;
    LONG x2;
    LONG y2;
};

struct PALETTEENTRY {
    BYTE peRed;
    BYTE peGreen;
    BYTE peBlue;
    BYTE peFlags; // alpha, when the caps advertise an alpha palette
};

// ---------------------------------------------------------------------------------------------
// Interfaces
// ---------------------------------------------------------------------------------------------

class IDirect3DDevice9;

class IDirect3DResource9 {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual D3DRESOURCETYPE GetType() = 0;

protected:
    ~IDirect3DResource9() = default;
};

class IDirect3DSurface9 : public IDirect3DResource9 {
public:
    virtual HRESULT GetDesc(D3DSURFACE_DESC* desc) = 0;
    // rect null: the whole surface. Locking a locked surface fails.
    virtual HRESULT LockRect(D3DLOCKED_RECT* locked, const RECT* rect, DWORD flags) = 0;
    virtual HRESULT UnlockRect() = 0;

protected:
    ~IDirect3DSurface9() = default;
};

class IDirect3DBaseTexture9 : public IDirect3DResource9 {
public:
    virtual DWORD GetLevelCount() = 0;

protected:
    ~IDirect3DBaseTexture9() = default;
};

class IDirect3DTexture9 : public IDirect3DBaseTexture9 {
public:
    virtual HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) = 0;
    // The level's surface, counted on the texture.
    virtual HRESULT GetSurfaceLevel(UINT level, IDirect3DSurface9** surface) = 0;

protected:
    ~IDirect3DTexture9() = default;
};

class IDirect3DCubeTexture9 : public IDirect3DBaseTexture9 {
public:
    virtual HRESULT GetLevelDesc(UINT level, D3DSURFACE_DESC* desc) = 0;
    virtual HRESULT GetCubeMapSurface(D3DCUBEMAP_FACES face, UINT level, IDirect3DSurface9** surface) = 0;

protected:
    ~IDirect3DCubeTexture9() = default;
};

class IDirect3DVertexBuffer9 : public IDirect3DResource9 {
public:
    // size 0 with offset 0: the whole buffer.
    virtual HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) = 0;
    virtual HRESULT Unlock() = 0;

protected:
    ~IDirect3DVertexBuffer9() = default;
};

class IDirect3DIndexBuffer9 : public IDirect3DResource9 {
public:
    virtual HRESULT Lock(UINT offset, UINT size, void** data, DWORD flags) = 0;
    virtual HRESULT Unlock() = 0;

protected:
    ~IDirect3DIndexBuffer9() = default;
};

class IDirect3DVertexDeclaration9 {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    // elements null: *count gets the number of elements, the end marker included.
    virtual HRESULT GetDeclaration(D3DVERTEXELEMENT9* elements, UINT* count) = 0;

protected:
    ~IDirect3DVertexDeclaration9() = default;
};

class IDirect3DVertexShader9 {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IDirect3DVertexShader9() = default;
};

class IDirect3DPixelShader9 {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IDirect3DPixelShader9() = default;
};

class IDirect3DSwapChain9 {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual HRESULT Present(const RECT* source, const RECT* dest, HWND overrideWindow, const void* dirtyRegion,
                            DWORD flags) = 0;
    virtual HRESULT GetBackBuffer(UINT index, D3DBACKBUFFER_TYPE type, IDirect3DSurface9** surface) = 0;

protected:
    ~IDirect3DSwapChain9() = default;
};

class IDirect3DDevice9 {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

    // Device and presentation.
    virtual HRESULT TestCooperativeLevel() = 0;
    virtual UINT GetAvailableTextureMem() = 0;
    virtual HRESULT EvictManagedResources() = 0;
    virtual HRESULT GetDeviceCaps(D3DCAPS9* caps) = 0;
    virtual HRESULT CreateAdditionalSwapChain(D3DPRESENT_PARAMETERS* params, IDirect3DSwapChain9** swapChain) = 0;
    virtual HRESULT Reset(D3DPRESENT_PARAMETERS* params) = 0;
    virtual HRESULT Present(const RECT* source, const RECT* dest, HWND overrideWindow, const void* dirtyRegion) = 0;
    virtual HRESULT GetBackBuffer(UINT swapChain, UINT index, D3DBACKBUFFER_TYPE type, IDirect3DSurface9** surface) = 0;
    virtual HRESULT ValidateDevice(DWORD* passes) = 0;

    // Resources. The last argument (a shared handle) must be null.
    virtual HRESULT CreateTexture(UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                                  IDirect3DTexture9** texture, HANDLE* shared) = 0;
    virtual HRESULT CreateCubeTexture(UINT edge, UINT levels, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                                      IDirect3DCubeTexture9** texture, HANDLE* shared) = 0;
    virtual HRESULT CreateVertexBuffer(UINT length, DWORD usage, DWORD fvf, D3DPOOL pool,
                                       IDirect3DVertexBuffer9** buffer, HANDLE* shared) = 0;
    virtual HRESULT CreateIndexBuffer(UINT length, DWORD usage, D3DFORMAT format, D3DPOOL pool,
                                      IDirect3DIndexBuffer9** buffer, HANDLE* shared) = 0;
    virtual HRESULT CreateDepthStencilSurface(UINT width, UINT height, D3DFORMAT format,
                                              D3DMULTISAMPLE_TYPE multiSample, DWORD quality, BOOL discard,
                                              IDirect3DSurface9** surface, HANDLE* shared) = 0;
    virtual HRESULT CreateOffscreenPlainSurface(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                                                IDirect3DSurface9** surface, HANDLE* shared) = 0;
    virtual HRESULT CreateVertexDeclaration(const D3DVERTEXELEMENT9* elements,
                                            IDirect3DVertexDeclaration9** declaration) = 0;
    virtual HRESULT CreateVertexShader(const DWORD* tokens, IDirect3DVertexShader9** shader) = 0;
    virtual HRESULT CreatePixelShader(const DWORD* tokens, IDirect3DPixelShader9** shader) = 0;

    // Copies between surfaces.
    virtual HRESULT UpdateSurface(IDirect3DSurface9* source, const RECT* sourceRect, IDirect3DSurface9* dest,
                                  const POINT* destPoint) = 0;
    virtual HRESULT UpdateTexture(IDirect3DBaseTexture9* source, IDirect3DBaseTexture9* dest) = 0;
    virtual HRESULT GetRenderTargetData(IDirect3DSurface9* renderTarget, IDirect3DSurface9* dest) = 0;
    virtual HRESULT StretchRect(IDirect3DSurface9* source, const RECT* sourceRect, IDirect3DSurface9* dest,
                                const RECT* destRect, D3DTEXTUREFILTERTYPE filter) = 0;
    virtual HRESULT ColorFill(IDirect3DSurface9* surface, const RECT* rect, D3DCOLOR color) = 0;

    // Targets, scene, clear.
    virtual HRESULT SetRenderTarget(DWORD index, IDirect3DSurface9* surface) = 0;
    virtual HRESULT GetRenderTarget(DWORD index, IDirect3DSurface9** surface) = 0;
    virtual HRESULT SetDepthStencilSurface(IDirect3DSurface9* surface) = 0;
    virtual HRESULT GetDepthStencilSurface(IDirect3DSurface9** surface) = 0;
    virtual HRESULT BeginScene() = 0;
    virtual HRESULT EndScene() = 0;
    // rects null with count 0: the whole viewport. Only the viewport is ever touched.
    virtual HRESULT Clear(DWORD count, const D3DRECT* rects, DWORD flags, D3DCOLOR color, float z, DWORD stencil) = 0;

    // Fixed-function state.
    virtual HRESULT SetTransform(D3DTRANSFORMSTATETYPE state, const D3DMATRIX* matrix) = 0;
    virtual HRESULT GetTransform(D3DTRANSFORMSTATETYPE state, D3DMATRIX* matrix) = 0;
    virtual HRESULT SetViewport(const D3DVIEWPORT9* viewport) = 0;
    virtual HRESULT GetViewport(D3DVIEWPORT9* viewport) = 0;
    virtual HRESULT SetMaterial(const D3DMATERIAL9* material) = 0;
    virtual HRESULT GetMaterial(D3DMATERIAL9* material) = 0;
    virtual HRESULT SetLight(DWORD index, const D3DLIGHT9* light) = 0;
    virtual HRESULT GetLight(DWORD index, D3DLIGHT9* light) = 0;
    virtual HRESULT LightEnable(DWORD index, BOOL enable) = 0;
    virtual HRESULT GetLightEnable(DWORD index, BOOL* enable) = 0;
    virtual HRESULT SetRenderState(D3DRENDERSTATETYPE state, DWORD value) = 0;
    virtual HRESULT GetRenderState(D3DRENDERSTATETYPE state, DWORD* value) = 0;
    virtual HRESULT SetPaletteEntries(UINT palette, const PALETTEENTRY* entries) = 0;
    virtual HRESULT SetCurrentTexturePalette(UINT palette) = 0;
    virtual HRESULT SetTexture(DWORD stage, IDirect3DBaseTexture9* texture) = 0;
    virtual HRESULT GetTexture(DWORD stage, IDirect3DBaseTexture9** texture) = 0;
    virtual HRESULT SetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE state, DWORD value) = 0;
    virtual HRESULT GetTextureStageState(DWORD stage, D3DTEXTURESTAGESTATETYPE state, DWORD* value) = 0;
    virtual HRESULT SetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE state, DWORD value) = 0;
    virtual HRESULT GetSamplerState(DWORD sampler, D3DSAMPLERSTATETYPE state, DWORD* value) = 0;

    // Vertex input and shaders.
    virtual HRESULT SetVertexDeclaration(IDirect3DVertexDeclaration9* declaration) = 0;
    virtual HRESULT SetFVF(DWORD fvf) = 0;
    virtual HRESULT GetFVF(DWORD* fvf) = 0;
    virtual HRESULT SetStreamSource(UINT stream, IDirect3DVertexBuffer9* buffer, UINT offset, UINT stride) = 0;
    virtual HRESULT SetIndices(IDirect3DIndexBuffer9* buffer) = 0;
    virtual HRESULT SetVertexShader(IDirect3DVertexShader9* shader) = 0;
    virtual HRESULT SetVertexShaderConstantF(UINT first, const float* values, UINT count) = 0;
    virtual HRESULT SetPixelShader(IDirect3DPixelShader9* shader) = 0;
    virtual HRESULT SetPixelShaderConstantF(UINT first, const float* values, UINT count) = 0;

    // Drawing. Counts are primitives; indices are checked against the bound buffers.
    virtual HRESULT DrawPrimitive(D3DPRIMITIVETYPE type, UINT startVertex, UINT count) = 0;
    virtual HRESULT DrawIndexedPrimitive(D3DPRIMITIVETYPE type, INT baseVertex, UINT minIndex, UINT numVertices,
                                         UINT startIndex, UINT count) = 0;
    virtual HRESULT DrawPrimitiveUP(D3DPRIMITIVETYPE type, UINT count, const void* vertices, UINT stride) = 0;
    virtual HRESULT DrawIndexedPrimitiveUP(D3DPRIMITIVETYPE type, UINT minIndex, UINT numVertices, UINT count,
                                           const void* indices, D3DFORMAT indexFormat, const void* vertices,
                                           UINT stride) = 0;

protected:
    ~IDirect3DDevice9() = default;
};

class IDirect3D9 {
public:
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual UINT GetAdapterCount() = 0;
    virtual HRESULT GetAdapterIdentifier(UINT adapter, DWORD flags, D3DADAPTER_IDENTIFIER9* identifier) = 0;
    virtual UINT GetAdapterModeCount(UINT adapter, D3DFORMAT format) = 0;
    virtual HRESULT EnumAdapterModes(UINT adapter, D3DFORMAT format, UINT mode, D3DDISPLAYMODE* displayMode) = 0;
    virtual HRESULT GetAdapterDisplayMode(UINT adapter, D3DDISPLAYMODE* displayMode) = 0;
    virtual HRESULT CheckDeviceType(UINT adapter, D3DDEVTYPE type, D3DFORMAT displayFormat, D3DFORMAT backBufferFormat,
                                    BOOL windowed) = 0;
    virtual HRESULT CheckDeviceFormat(UINT adapter, D3DDEVTYPE type, D3DFORMAT adapterFormat, DWORD usage,
                                      D3DRESOURCETYPE resourceType, D3DFORMAT format) = 0;
    virtual HRESULT CheckDepthStencilMatch(UINT adapter, D3DDEVTYPE type, D3DFORMAT adapterFormat,
                                           D3DFORMAT renderTargetFormat, D3DFORMAT depthFormat) = 0;
    virtual HRESULT GetDeviceCaps(UINT adapter, D3DDEVTYPE type, D3DCAPS9* caps) = 0;
    virtual HRESULT CreateDevice(UINT adapter, D3DDEVTYPE type, HWND focusWindow, DWORD flags,
                                 D3DPRESENT_PARAMETERS* params, IDirect3DDevice9** device) = 0;

protected:
    ~IDirect3D9() = default;
};

using LPDIRECT3D9 = IDirect3D9*;
using LPDIRECT3DDEVICE9 = IDirect3DDevice9*;
using LPDIRECT3DTEXTURE9 = IDirect3DTexture9*;
using LPDIRECT3DSURFACE9 = IDirect3DSurface9*;

// The entry point; null when the stand-in is scripted to fail it (platform/d3d9_control.h).
IDirect3D9* Direct3DCreate9(UINT sdkVersion);
