#pragma once

#include <cstdint>

namespace Engine {

// The flag word every triangle carries: its object's flag word from the object flags file, plus
// bits the lightmapper's stages set. One name per bit; every reader and writer uses these.
enum TriangleFlag : uint32_t {
    // Ambient-occlusion rays pass through the triangle: it casts no occlusion. Other rays pass
    // through it too, unless TriangleOwnObject is also set.
    TriangleNoAoRays = 0x01,
    // Ray hits are tested against the object's alpha map; alpha below 128 lets the ray through.
    TriangleAlphaTested = 0x02,
    // The texels are not traced by the ambient-occlusion pass and come out fully open.
    TriangleUntraced = 0x04,
    // Texel size x 8 for the triangle's charts; in the lighting mode the surface through which
    // directional light shines.
    TriangleCoarse = 0x08,
    // Rays pass through the triangle (with the same exception as TriangleNoAoRays).
    TriangleNoRays = 0x10,
    // Two meanings, one bit: the triangle links to neighbours only within its own object (and
    // never to triangles without the bit), and rays other than ambient-occlusion rays still hit
    // it when TriangleNoAoRays or TriangleNoRays would hide it.
    TriangleOwnObject = 0x20,
    TriangleTwoSided = 0x40,
    // Lit: cleared on intake, owned by the lighting passes.
    TriangleLit = 0x80,
    // Edge e (corner e to corner e + 1) has no neighbour in the triangle's chart: set by grouping.
    TriangleBorderEdge0 = 0x100,
    TriangleBorderEdges = 0x700,
};

// What an object with a non-zero emissive colour adds to its triangles: they are lit from the
// start and, being their own object, neither link to other objects nor block the rays that look
// for light.
constexpr uint32_t TriangleEmissive = TriangleOwnObject | TriangleLit;

// Bits 16 to 19 pick the texel-size multiplier of the triangle's object.
constexpr int TriangleTexelScaleShift = 16;
constexpr uint32_t TriangleTexelScaleMask = 15;

inline uint32_t BorderEdgeBit(int32_t edge) { return uint32_t(TriangleBorderEdge0) << edge; }

}  // namespace Engine
