// One small vector interface over three widths, so that a kernel is written once and compiled
// for each: SSE2 (4 floats or 2 doubles, the build's baseline), AVX2 with FMA (8 floats or 4
// doubles) and AVX-512 (TK_SIMD_AVX512, with AVX2: doubles in 8 lanes), chosen at run time.
// VW is the widest float vector for kernels that run over whole blocks: V itself, or 16 floats
// with AVX-512. A comparison gives a mask (VD::M): the vector itself below AVX-512, a lane mask
// with it; masks combine with and_/or_ and pick lanes with and_(mask, value) and select.
// Include inside a namespace; the AVX2 variant only inside a region compiled for avx2,fma,
// the AVX-512 one inside a region compiled for avx512f,avx512vl as well.
// Requires <immintrin.h> to be included first, outside any namespace.

#if defined(TK_SIMD_AVX2) || defined(TK_SIMD_AVX512)

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
    // The larger of two magnitudes by their bits (same order; a NaN, the largest, is kept).
    static inline R max_mag(R a, R b) {
        return _mm256_castsi256_ps(_mm256_max_epu32(_mm256_castps_si256(a), _mm256_castps_si256(b)));
    }
    static inline R min(R a, R b) { return _mm256_min_ps(a, b); }
    static inline R madd(R a, R b, R c) { return _mm256_fmadd_ps(a, b, c); } // a * b + c
    static inline R abs(R a) { return _mm256_and_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff))); }
    // a with NaN lanes 0 and infinities saturated at the f32 range.
    static inline R finite(R a) {
        a = _mm256_and_ps(_mm256_cmp_ps(a, a, _CMP_ORD_Q), a);
        return _mm256_min_ps(_mm256_max_ps(a, _mm256_set1_ps(-__FLT_MAX__)), _mm256_set1_ps(__FLT_MAX__));
    }
    static inline R gt(R a, R b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static inline R ge(R a, R b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
    static inline R and_(R a, R b) { return _mm256_and_ps(a, b); }
    static inline R select(R mask, R a, R b) { return _mm256_blendv_ps(b, a, mask); }
    static inline bool any(R mask) { return _mm256_movemask_ps(mask) != 0; }
    static inline bool any_not_le(R a, R b) { return _mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_NLE_UQ)) != 0; }
    // a with the lanes from `count` on set to 0.
    static inline R keep_first(R a, uint32_t count) {
        const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_and_ps(a, _mm256_castsi256_ps(_mm256_cmpgt_epi32(_mm256_set1_epi32((int)count), idx)));
    }
    // Largest lane.
    static inline float hmax(R a) {
        __m128 m = _mm_max_ps(_mm256_castps256_ps128(a), _mm256_extractf128_ps(a, 1));
        m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        return _mm_cvtss_f32(m);
    }
};

#if !defined(TK_SIMD_AVX512)
// Doubles: 4 lanes. madd is fused.
struct VD {
    using R = __m256d;
    using M = __m256d;
    static inline M none() { return _mm256_setzero_pd(); }
    static constexpr int N = 4;
    static inline R load(const double *p) { return _mm256_loadu_pd(p); }
    static inline void store(double *p, R v) { _mm256_storeu_pd(p, v); }
    static inline R set1(double v) { return _mm256_set1_pd(v); }
    static inline R zero() { return _mm256_setzero_pd(); }
    static inline R add(R a, R b) { return _mm256_add_pd(a, b); }
    static inline R sub(R a, R b) { return _mm256_sub_pd(a, b); }
    static inline R mul(R a, R b) { return _mm256_mul_pd(a, b); }
    static inline R div(R a, R b) { return _mm256_div_pd(a, b); }
    static inline R max(R a, R b) { return _mm256_max_pd(a, b); }
    static inline R madd(R a, R b, R c) { return _mm256_fmadd_pd(a, b, c); }
    static inline R gt(R a, R b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static inline R lt(R a, R b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static inline R and_(R a, R b) { return _mm256_and_pd(a, b); }
    static inline R or_(R a, R b) { return _mm256_or_pd(a, b); }
    static inline R select(R mask, R a, R b) { return _mm256_blendv_pd(b, a, mask); }
    static inline bool any(R mask) { return _mm256_movemask_pd(mask) != 0; }
    static inline R min(R a, R b) { return _mm256_min_pd(a, b); }
    // Lanes that are numbers (all bits set) and NaN lanes (0).
    static inline R ord(R a) { return _mm256_cmp_pd(a, a, _CMP_ORD_Q); }
    // N floats as doubles, and back (rounded to nearest).
    static inline R cvt(const float *p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static inline R cvt_abs(const float *p) {
        return _mm256_cvtps_pd(_mm_and_ps(_mm_loadu_ps(p), _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))));
    }
    static inline void store_f(float *p, R v) { _mm_storeu_ps(p, _mm256_cvtpd_ps(v)); }
    // Pairs (l, r) x N from p: the l and the r in order.
    static inline void deinterleave(const double *p, R *l, R *r) {
        const R a = _mm256_loadu_pd(p), b = _mm256_loadu_pd(p + 4);
        *l = _mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), _MM_SHUFFLE(3, 1, 2, 0));
        *r = _mm256_permute4x64_pd(_mm256_unpackhi_pd(a, b), _MM_SHUFFLE(3, 1, 2, 0));
    }
    // Lane i = sum of lanes 0..i; the last lane in every lane; lane 0.
    static inline R prefix_sum(R v) {
        v = add(v, _mm256_blend_pd(_mm256_permute4x64_pd(v, _MM_SHUFFLE(2, 1, 0, 0)), zero(), 0x1));
        return add(v, _mm256_blend_pd(_mm256_permute2f128_pd(v, v, 0x08), zero(), 0x3));
    }
    static inline R last(R v) { return _mm256_permute4x64_pd(v, 0xff); }
    static inline double first(R v) { return _mm256_cvtsd_f64(v); }
    static inline R ge(R a, R b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static inline R not_gt(R a, R b) { return _mm256_cmp_pd(a, b, _CMP_NGT_UQ); }
    static inline bool all(R mask) { return _mm256_movemask_pd(mask) == 0xf; }
    static inline double hmin(R a) {
        __m128d m = _mm_min_pd(_mm256_castpd256_pd128(a), _mm256_extractf128_pd(a, 1));
        m = _mm_min_pd(m, _mm_unpackhi_pd(m, m));
        return _mm_cvtsd_f64(m);
    }
    // Biased exponent of positive normal x, as a double.
    static inline R exponent(R x) {
        const R two52 = set1(4503599627370496.0);
        return sub(_mm256_or_pd(_mm256_castsi256_pd(_mm256_srli_epi64(_mm256_castpd_si256(x), 52)), two52), two52);
    }
    // x with its exponent replaced by 0: the mantissa in [1, 2).
    static inline R mantissa(R x) {
        return _mm256_or_pd(_mm256_and_pd(x, _mm256_castsi256_pd(_mm256_set1_epi64x(0x000fffffffffffffLL))), set1(1.0));
    }
    // table[n mod 16] for the integer n held in the low mantissa bits of t = n + shifter.
    static inline R lookup16(const double *table, R t) {
        return _mm256_i64gather_pd(table, _mm256_and_si256(_mm256_castpd_si256(t), _mm256_set1_epi64x(15)), 8);
    }
    // x 2^floor(n / 16) for that n (x and the result normal).
    static inline R scale16(R x, R t) {
        const __m256i k = _mm256_slli_epi64(_mm256_srli_epi64(_mm256_castpd_si256(t), 4), 52);
        return _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(x), k));
    }
};
#endif

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
    // The larger of two magnitudes by their bits (same order; a NaN, the largest, is kept).
    static inline R max_mag(R a, R b) {
        const __m128i x = _mm_castps_si128(a), y = _mm_castps_si128(b), m = _mm_cmpgt_epi32(x, y);
        return _mm_castsi128_ps(_mm_or_si128(_mm_and_si128(m, x), _mm_andnot_si128(m, y)));
    }
    static inline R min(R a, R b) { return _mm_min_ps(a, b); }
    static inline R madd(R a, R b, R c) { return _mm_add_ps(_mm_mul_ps(a, b), c); }
    static inline R abs(R a) { return _mm_and_ps(a, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))); }
    static inline R finite(R a) {
        a = _mm_and_ps(_mm_cmpord_ps(a, a), a);
        return _mm_min_ps(_mm_max_ps(a, _mm_set1_ps(-__FLT_MAX__)), _mm_set1_ps(__FLT_MAX__));
    }
    static inline R gt(R a, R b) { return _mm_cmpgt_ps(a, b); }
    static inline R ge(R a, R b) { return _mm_cmpge_ps(a, b); }
    static inline R and_(R a, R b) { return _mm_and_ps(a, b); }
    static inline R select(R mask, R a, R b) { return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b)); }
    static inline bool any(R mask) { return _mm_movemask_ps(mask) != 0; }
    static inline bool any_not_le(R a, R b) { return _mm_movemask_ps(_mm_cmpnle_ps(a, b)) != 0; }
    static inline R keep_first(R a, uint32_t count) {
        const __m128i idx = _mm_setr_epi32(0, 1, 2, 3);
        return _mm_and_ps(a, _mm_castsi128_ps(_mm_cmpgt_epi32(_mm_set1_epi32((int)count), idx)));
    }
    static inline float hmax(R a) {
        __m128 m = _mm_max_ps(a, _mm_shuffle_ps(a, a, _MM_SHUFFLE(1, 0, 3, 2)));
        m = _mm_max_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
        return _mm_cvtss_f32(m);
    }
};

// Doubles: 2 lanes. madd is a multiplication and an addition (two roundings).
struct VD {
    using R = __m128d;
    using M = __m128d;
    static inline M none() { return _mm_setzero_pd(); }
    static constexpr int N = 2;
    static inline R load(const double *p) { return _mm_loadu_pd(p); }
    static inline void store(double *p, R v) { _mm_storeu_pd(p, v); }
    static inline R set1(double v) { return _mm_set1_pd(v); }
    static inline R zero() { return _mm_setzero_pd(); }
    static inline R add(R a, R b) { return _mm_add_pd(a, b); }
    static inline R sub(R a, R b) { return _mm_sub_pd(a, b); }
    static inline R mul(R a, R b) { return _mm_mul_pd(a, b); }
    static inline R div(R a, R b) { return _mm_div_pd(a, b); }
    static inline R max(R a, R b) { return _mm_max_pd(a, b); }
    static inline R madd(R a, R b, R c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
    static inline R gt(R a, R b) { return _mm_cmpgt_pd(a, b); }
    static inline R lt(R a, R b) { return _mm_cmplt_pd(a, b); }
    static inline R and_(R a, R b) { return _mm_and_pd(a, b); }
    static inline R or_(R a, R b) { return _mm_or_pd(a, b); }
    static inline R select(R mask, R a, R b) { return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b)); }
    static inline bool any(R mask) { return _mm_movemask_pd(mask) != 0; }
    static inline R min(R a, R b) { return _mm_min_pd(a, b); }
    static inline R ord(R a) { return _mm_cmpord_pd(a, a); }
    static inline R cvt(const float *p) {
        return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64((const __m128i_u *)p)));
    }
    static inline R cvt_abs(const float *p) {
        return _mm_cvtps_pd(_mm_and_ps(_mm_castsi128_ps(_mm_loadl_epi64((const __m128i_u *)p)),
                                       _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))));
    }
    static inline void store_f(float *p, R v) { _mm_storel_epi64((__m128i_u *)p, _mm_castps_si128(_mm_cvtpd_ps(v))); }
    static inline void deinterleave(const double *p, R *l, R *r) {
        const R a = _mm_loadu_pd(p), b = _mm_loadu_pd(p + 2);
        *l = _mm_unpacklo_pd(a, b);
        *r = _mm_unpackhi_pd(a, b);
    }
    static inline R prefix_sum(R v) { return add(v, _mm_castsi128_pd(_mm_slli_si128(_mm_castpd_si128(v), 8))); }
    static inline R last(R v) { return _mm_unpackhi_pd(v, v); }
    static inline double first(R v) { return _mm_cvtsd_f64(v); }
    static inline R ge(R a, R b) { return _mm_cmpge_pd(a, b); }
    static inline R not_gt(R a, R b) { return _mm_cmpngt_pd(a, b); }
    static inline bool all(R mask) { return _mm_movemask_pd(mask) == 0x3; }
    static inline double hmin(R a) { return _mm_cvtsd_f64(_mm_min_pd(a, _mm_unpackhi_pd(a, a))); }
    static inline R exponent(R x) {
        const R two52 = set1(4503599627370496.0);
        return sub(_mm_or_pd(_mm_castsi128_pd(_mm_srli_epi64(_mm_castpd_si128(x), 52)), two52), two52);
    }
    static inline R mantissa(R x) {
        return _mm_or_pd(_mm_and_pd(x, _mm_castsi128_pd(_mm_set1_epi64x(0x000fffffffffffffLL))), set1(1.0));
    }
    static inline R lookup16(const double *table, R t) {
        const __m128i n = _mm_castpd_si128(t);
        return _mm_set_pd(table[_mm_cvtsi128_si64(_mm_unpackhi_epi64(n, n)) & 15], table[_mm_cvtsi128_si64(n) & 15]);
    }
    static inline R scale16(R x, R t) {
        const __m128i k = _mm_slli_epi64(_mm_srli_epi64(_mm_castpd_si128(t), 4), 52);
        return _mm_castsi128_pd(_mm_add_epi64(_mm_castpd_si128(x), k));
    }
};

#endif

#if defined(TK_SIMD_AVX512)
// Doubles: 8 lanes, comparisons into lane masks. madd is fused, as in the 4-lane VD, so that
// both give the same values. (Masked forms where GCC 12's unmasked ones start from an
// undefined vector and warn.)
struct VD {
    using R = __m512d;
    using M = __mmask8;
    static constexpr int N = 8;
    static inline M none() { return 0; }
    static inline R load(const double *p) { return _mm512_loadu_pd(p); }
    static inline void store(double *p, R v) { _mm512_storeu_pd(p, v); }
    static inline R set1(double v) { return _mm512_set1_pd(v); }
    static inline R zero() { return _mm512_setzero_pd(); }
    static inline R add(R a, R b) { return _mm512_add_pd(a, b); }
    static inline R sub(R a, R b) { return _mm512_sub_pd(a, b); }
    static inline R mul(R a, R b) { return _mm512_mul_pd(a, b); }
    static inline R div(R a, R b) { return _mm512_div_pd(a, b); }
    static inline R max(R a, R b) { return _mm512_mask_max_pd(a, (__mmask8)0xff, a, b); }
    static inline R min(R a, R b) { return _mm512_mask_min_pd(a, (__mmask8)0xff, a, b); }
    static inline R madd(R a, R b, R c) { return _mm512_fmadd_pd(a, b, c); }
    static inline M gt(R a, R b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static inline M lt(R a, R b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static inline M ge(R a, R b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static inline M not_gt(R a, R b) { return _mm512_cmp_pd_mask(a, b, _CMP_NGT_UQ); }
    static inline M ord(R a) { return _mm512_cmp_pd_mask(a, a, _CMP_ORD_Q); }
    static inline M and_(M a, M b) { return (M)(a & b); }
    static inline M or_(M a, M b) { return (M)(a | b); }
    static inline R and_(M m, R v) { return _mm512_maskz_mov_pd(m, v); }
    static inline R select(M m, R a, R b) { return _mm512_mask_blend_pd(m, b, a); }
    static inline bool any(M m) { return m != 0; }
    static inline bool all(M m) { return m == 0xff; }
    static inline R cvt(const float *p) { return _mm512_maskz_cvtps_pd((__mmask8)0xff, _mm256_loadu_ps(p)); }
    // N floats' magnitudes as doubles.
    static inline R cvt_abs(const float *p) {
        const __m256 a = _mm256_and_ps(_mm256_loadu_ps(p), _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
        return _mm512_maskz_cvtps_pd((__mmask8)0xff, a);
    }
    static inline void store_f(float *p, R v) { _mm256_storeu_ps(p, _mm512_maskz_cvtpd_ps((__mmask8)0xff, v)); }
    // Lane i = sum of lanes 0..i; the last lane in every lane; lane 0.
    static inline R prefix_sum(R v) {
        const __m512i z = _mm512_setzero_si512();
        __m512i x = _mm512_castpd_si512(v);
        v = add(v, _mm512_castsi512_pd(_mm512_mask_alignr_epi64(x, (__mmask8)0xff, x, z, 7)));
        x = _mm512_castpd_si512(v);
        v = add(v, _mm512_castsi512_pd(_mm512_mask_alignr_epi64(x, (__mmask8)0xff, x, z, 6)));
        x = _mm512_castpd_si512(v);
        return add(v, _mm512_castsi512_pd(_mm512_mask_alignr_epi64(x, (__mmask8)0xff, x, z, 4)));
    }
    static inline R last(R v) { return _mm512_mask_permutexvar_pd(v, (__mmask8)0xff, _mm512_set1_epi64(7), v); }
    static inline double first(R v) { return _mm512_cvtsd_f64(v); }
    static inline double hmin(R a) {
        const __m256d h = _mm256_min_pd(_mm512_maskz_extractf64x4_pd((__mmask8)0xf, a, 0),
                                        _mm512_maskz_extractf64x4_pd((__mmask8)0xf, a, 1));
        __m128d m = _mm_min_pd(_mm256_castpd256_pd128(h), _mm256_extractf128_pd(h, 1));
        m = _mm_min_pd(m, _mm_unpackhi_pd(m, m));
        return _mm_cvtsd_f64(m);
    }
    static inline R exponent(R x) {
        const R two52 = set1(4503599627370496.0);
        return sub(
            _mm512_castsi512_pd(_mm512_or_si512(_mm512_maskz_srli_epi64((__mmask8)0xff, _mm512_castpd_si512(x), 52),
                                                _mm512_castpd_si512(two52))),
            two52);
    }
    static inline R mantissa(R x) {
        return _mm512_castsi512_pd(
            _mm512_or_si512(_mm512_and_si512(_mm512_castpd_si512(x), _mm512_set1_epi64(0x000fffffffffffffLL)),
                            _mm512_castpd_si512(set1(1.0))));
    }
    static inline R lookup16(const double *table, R t) {
        return _mm512_permutex2var_pd(_mm512_loadu_pd(table), _mm512_castpd_si512(t), _mm512_loadu_pd(table + 8));
    }
    static inline R scale16(R x, R t) {
        const __m512i k = _mm512_maskz_slli_epi64(
            (__mmask8)0xff, _mm512_maskz_srli_epi64((__mmask8)0xff, _mm512_castpd_si512(t), 4), 52);
        return _mm512_castsi512_pd(_mm512_add_epi64(_mm512_castpd_si512(x), k));
    }
};

// Floats: 16 lanes. madd is fused, as in V, so that both give the same values.
struct VW {
    using R = __m512;
    static constexpr int N = 16;
    static inline R load(const float *p) { return _mm512_loadu_ps(p); }
    static inline void store(float *p, R v) { _mm512_storeu_ps(p, v); }
    static inline R set1(float v) { return _mm512_set1_ps(v); }
    static inline R zero() { return _mm512_setzero_ps(); }
    static inline R add(R a, R b) { return _mm512_add_ps(a, b); }
    static inline R sub(R a, R b) { return _mm512_sub_ps(a, b); }
    static inline R mul(R a, R b) { return _mm512_mul_ps(a, b); }
    // (The masked forms: GCC 12's unmasked ones start from an undefined vector and warn.)
    static inline R max(R a, R b) { return _mm512_mask_max_ps(a, (__mmask16)0xffff, a, b); }
    // The larger of two magnitudes by their bits (same order; a NaN, the largest, is kept).
    static inline R max_mag(R a, R b) {
        return _mm512_castsi512_ps(
            _mm512_maskz_max_epu32((__mmask16)0xffff, _mm512_castps_si512(a), _mm512_castps_si512(b)));
    }
    static inline R madd(R a, R b, R c) { return _mm512_fmadd_ps(a, b, c); }
    static inline R abs(R a) {
        return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7fffffff)));
    }
    static inline R keep_first(R a, uint32_t count) {
        return _mm512_maskz_mov_ps((__mmask16)(count >= 16 ? 0xffffu : (1u << count) - 1u), a);
    }
    static inline bool any_not_le(R a, R b) { return _mm512_cmp_ps_mask(a, b, _CMP_NLE_UQ) != 0; }
    static inline R finite(R a) {
        a = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(a, a, _CMP_ORD_Q), a);
        a = _mm512_mask_max_ps(a, (__mmask16)0xffff, a, _mm512_set1_ps(-__FLT_MAX__));
        return _mm512_mask_min_ps(a, (__mmask16)0xffff, a, _mm512_set1_ps(__FLT_MAX__));
    }
    static inline float hmax(R a) {
        const __m512d b = _mm512_castps_pd(a);
        const __m256 h = _mm256_max_ps(_mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, b, 0)),
                                       _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, b, 1)));
        return V::hmax(h);
    }
};
#else
using VW = V;
#endif
