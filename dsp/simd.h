// One small vector interface over two widths, so that a kernel is written once and compiled
// twice: SSE2 (4 lanes, the build's baseline) and AVX2 with FMA (8 lanes, chosen at run time).
// Include inside a namespace; the AVX2 variant only inside a region compiled for avx2,fma.
// Requires <immintrin.h> to be included first, outside any namespace.

#if defined(TK_SIMD_AVX2)

struct V {
    using R = __m256;
    static constexpr int N = 8;
    static inline R load(const float *p) { return _mm256_loadu_ps(p); }
    static inline void store(float *p, R v) { _mm256_storeu_ps(p, v); }
    static inline R set1(float v) { return _mm256_set1_ps(v); }
    static inline R zero() { return _mm256_setzero_ps(); }
    static inline R add(R a, R b) { return _mm256_add_ps(a, b); }
    static inline R sub(R a, R b) { return _mm256_sub_ps(a, b); }
    static inline R mul(R a, R b) { return _mm256_mul_ps(a, b); }
    static inline R div(R a, R b) { return _mm256_div_ps(a, b); }
    static inline R max(R a, R b) { return _mm256_max_ps(a, b); }
    static inline R min(R a, R b) { return _mm256_min_ps(a, b); }
    static inline R madd(R a, R b, R c) { return _mm256_fmadd_ps(a, b, c); } // a * b + c
    static inline R abs(R a) { return _mm256_and_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff))); }
    static inline R gt(R a, R b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static inline R ge(R a, R b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static inline R and_(R a, R b) { return _mm256_and_ps(a, b); }
    static inline R select(R mask, R a, R b) { return _mm256_blendv_ps(b, a, mask); }
    static inline bool any(R mask) { return _mm256_movemask_ps(mask) != 0; }
};

#else

struct V {
    using R = __m128;
    static constexpr int N = 4;
    static inline R load(const float *p) { return _mm_loadu_ps(p); }
    static inline void store(float *p, R v) { _mm_storeu_ps(p, v); }
    static inline R set1(float v) { return _mm_set1_ps(v); }
    static inline R zero() { return _mm_setzero_ps(); }
    static inline R add(R a, R b) { return _mm_add_ps(a, b); }
    static inline R sub(R a, R b) { return _mm_sub_ps(a, b); }
    static inline R mul(R a, R b) { return _mm_mul_ps(a, b); }
    static inline R div(R a, R b) { return _mm_div_ps(a, b); }
    static inline R max(R a, R b) { return _mm_max_ps(a, b); }
    static inline R min(R a, R b) { return _mm_min_ps(a, b); }
    static inline R madd(R a, R b, R c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static inline R abs(R a) { return _mm_and_ps(a, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))); }
    static inline R gt(R a, R b) { return _mm_cmpgt_ps(a, b); }
    static inline R ge(R a, R b) { return _mm_cmpge_ps(a, b); }
    static inline R and_(R a, R b) { return _mm_and_ps(a, b); }
    static inline R select(R mask, R a, R b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
    static inline bool any(R mask) { return _mm_movemask_ps(mask) != 0; }
};

#endif
