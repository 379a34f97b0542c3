// Bilinear sampling of many points per call. Each lane follows the one-point
// formula's steps exactly: the same clamps, the same truncations, and every
// product and sum in the same order in float32, so a lane's bits are those
// of sample() for its pair. The four cases of the formula (which fractions
// are zero) become selections between results, and a neighbour whose
// fraction is zero is read from the cell itself, so no lane reads outside
// the table; a NaN coordinate's lane reads cell (0, 0) and gives NaN.
#include "sampling.hpp"

#include "common/cpu.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#    include <immintrin.h>
#endif

namespace gridvane::registry {

namespace {

// The scalar path, for the points that do not fill a vector.
void sample_scalar(const Record &t, const Clamp &b, std::size_t from, std::size_t n, const float *u,
                   std::ptrdiff_t us, const float *v, std::ptrdiff_t vs, float *out)
{
    for (std::size_t i = from; i < n; ++i)
        out[i] = interpolate(t, u[static_cast<std::ptrdiff_t>(i) * us], v[static_cast<std::ptrdiff_t>(i) * vs], b);
}

#if defined(__x86_64__)

// Lanes whose sample is NaN take the rule's NaN from the cells each read
// (out of line: NaN samples are rare, and the check of the whole vector
// is all the common path pays).
[[gnu::cold, gnu::noinline]] void settle_nan_lanes(float *sample, const float *top_left, const float *bottom_left,
                                                   const float *top_right, const float *bottom_right, int lanes)
{
    for (int k = 0; k < lanes; ++k)
        if (std::isnan(sample[k]))
            sample[k] = nan_of_cells(bits_at(top_left + k), bits_at(bottom_left + k), bits_at(top_right + k),
                                     bits_at(bottom_right + k));
}

// Four coordinates from a strided array.
inline __m128 load4(const float *p, std::ptrdiff_t stride)
{
    if (stride == 1)
        return _mm_loadu_ps(p);
    return _mm_set_ps(p[3 * stride], p[2 * stride], p[stride], p[0]);
}

inline __m128 select4(__m128 mask, __m128 yes, __m128 no) { return _mm_or_ps(_mm_and_ps(mask, yes), _mm_andnot_ps(mask, no)); }

// Clamps as clamp_coordinate does (NaN lanes are dealt with apart).
inline __m128 clamp4(__m128 c, float last)
{
    const __m128 l = _mm_set1_ps(last);
    c = select4(_mm_cmpnle_ps(c, l), l, c);
    return select4(_mm_cmplt_ps(c, _mm_setzero_ps()), _mm_setzero_ps(), c);
}

// Where the fraction is not zero, one more (a true comparison is -1 as an
// integer).
inline __m128i next4(__m128i index, __m128 fraction_zero)
{
    const __m128 all = _mm_castsi128_ps(_mm_set1_epi32(-1));
    return _mm_sub_epi32(index, _mm_castps_si128(_mm_andnot_ps(fraction_zero, all)));
}

// Four points with SSE2: the arithmetic in vectors, the cell reads one by
// one (the instruction set has no gather).
void sample_sse2(const Record &t, const Clamp &b, std::size_t n, const float *u, std::ptrdiff_t us, const float *v,
                 std::ptrdiff_t vs, float *out)
{
    float *const *rows = t.node.rows;
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    const __m128 quiet_nan = _mm_set1_ps(std::numeric_limits<float>::quiet_NaN());
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m128 pu = load4(u + static_cast<std::ptrdiff_t>(i) * us, us);
        __m128 pv = load4(v + static_cast<std::ptrdiff_t>(i) * vs, vs);
        const __m128 nan = _mm_or_ps(_mm_cmpunord_ps(pu, pu), _mm_cmpunord_ps(pv, pv));
        pu = _mm_andnot_ps(nan, clamp4(pu, b.last_u));
        pv = _mm_andnot_ps(nan, clamp4(pv, b.last_v));
        const __m128i iu = _mm_cvttps_epi32(pu), iv = _mm_cvttps_epi32(pv);
        const __m128 fu = _mm_sub_ps(pu, _mm_cvtepi32_ps(iu)), fv = _mm_sub_ps(pv, _mm_cvtepi32_ps(iv));
        const __m128 fu_zero = _mm_cmpeq_ps(fu, zero), fv_zero = _mm_cmpeq_ps(fv, zero);
        const __m128i iu1 = next4(iu, fu_zero), iv1 = next4(iv, fv_zero);
        alignas(16) std::int32_t c0[4], c1[4], r0[4], r1[4];
        _mm_store_si128(reinterpret_cast<__m128i *>(c0), iu);
        _mm_store_si128(reinterpret_cast<__m128i *>(c1), iu1);
        _mm_store_si128(reinterpret_cast<__m128i *>(r0), iv);
        _mm_store_si128(reinterpret_cast<__m128i *>(r1), iv1);
        alignas(16) float a00[4], a01[4], a10[4], a11[4];
        for (int k = 0; k < 4; ++k) {
            const float *top = rows[r0[k]], *bottom = rows[r1[k]];
            a00[k] = top[c0[k]];
            a01[k] = top[c1[k]];
            a10[k] = bottom[c0[k]];
            a11[k] = bottom[c1[k]];
        }
        const __m128 A00 = _mm_load_ps(a00), A01 = _mm_load_ps(a01), A10 = _mm_load_ps(a10), A11 = _mm_load_ps(a11);
        const __m128 gv = _mm_sub_ps(one, fv), gu = _mm_sub_ps(one, fu);
        const __m128 left = select4(fv_zero, A00, _mm_add_ps(_mm_mul_ps(gv, A00), _mm_mul_ps(fv, A10)));
        const __m128 right = select4(fv_zero, A01, _mm_add_ps(_mm_mul_ps(gv, A01), _mm_mul_ps(fv, A11)));
        const __m128 both = _mm_add_ps(_mm_mul_ps(gu, left), _mm_mul_ps(fu, right));
        __m128 sample = select4(fu_zero, left, both);
        if (_mm_movemask_ps(_mm_cmpunord_ps(sample, sample)) != 0) [[unlikely]] {
            alignas(16) float settled[4];
            _mm_store_ps(settled, sample);
            settle_nan_lanes(settled, a00, a10, a01, a11, 4);
            sample = _mm_load_ps(settled);
        }
        _mm_storeu_ps(out + i, select4(nan, quiet_nan, sample));
    }
    sample_scalar(t, b, i, n, u, us, v, vs, out);
}

GRIDVANE_AVX2 inline __m256 load8(const float *p, std::ptrdiff_t stride)
{
    if (stride == 1)
        return _mm256_loadu_ps(p);
    return _mm256_set_ps(p[7 * stride], p[6 * stride], p[5 * stride], p[4 * stride], p[3 * stride], p[2 * stride],
                         p[stride], p[0]);
}

GRIDVANE_AVX2 inline __m256 clamp8(__m256 c, __m256 last)
{
    const __m256 zero = _mm256_setzero_ps();
    c = _mm256_blendv_ps(c, last, _mm256_cmp_ps(c, last, _CMP_NLE_UQ));
    return _mm256_blendv_ps(c, zero, _mm256_cmp_ps(c, zero, _CMP_LT_OQ));
}

// The cells at eight (row, column) pairs: four 64-bit row pointers at a
// time, then the floats at those addresses.
GRIDVANE_AVX2 inline __m256 cells8(const long long *rows, __m256i row, __m256i column)
{
    const __m128i row_lo = _mm256_castsi256_si128(row), row_hi = _mm256_extracti128_si256(row, 1);
    const __m128i col_lo = _mm256_castsi256_si128(column), col_hi = _mm256_extracti128_si256(column, 1);
    const __m256i at_lo =
        _mm256_add_epi64(_mm256_i32gather_epi64(rows, row_lo, 8), _mm256_slli_epi64(_mm256_cvtepi32_epi64(col_lo), 2));
    const __m256i at_hi =
        _mm256_add_epi64(_mm256_i32gather_epi64(rows, row_hi, 8), _mm256_slli_epi64(_mm256_cvtepi32_epi64(col_hi), 2));
    const __m128 lo = _mm256_i64gather_ps(static_cast<const float *>(nullptr), at_lo, 1);
    const __m128 hi = _mm256_i64gather_ps(static_cast<const float *>(nullptr), at_hi, 1);
    return _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
}

// Where the fraction is not zero, one more (a true comparison is -1 as an
// integer).
GRIDVANE_AVX2 inline __m256i next8(__m256i index, __m256 fraction_zero)
{
    const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    return _mm256_sub_epi32(index, _mm256_castps_si256(_mm256_andnot_ps(fraction_zero, all)));
}

// Eight points with AVX2: the row pointers and then the cells gathered.
GRIDVANE_AVX2 void sample_avx2(const Record &t, const Clamp &b, std::size_t n, const float *u, std::ptrdiff_t us,
                               const float *v, std::ptrdiff_t vs, float *out)
{
    const auto *rows = reinterpret_cast<const long long *>(t.node.rows);
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    const __m256 quiet_nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
    const __m256 last_u = _mm256_set1_ps(b.last_u), last_v = _mm256_set1_ps(b.last_v);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        __m256 pu = load8(u + static_cast<std::ptrdiff_t>(i) * us, us);
        __m256 pv = load8(v + static_cast<std::ptrdiff_t>(i) * vs, vs);
        const __m256 nan = _mm256_or_ps(_mm256_cmp_ps(pu, pu, _CMP_UNORD_Q), _mm256_cmp_ps(pv, pv, _CMP_UNORD_Q));
        pu = _mm256_andnot_ps(nan, clamp8(pu, last_u));
        pv = _mm256_andnot_ps(nan, clamp8(pv, last_v));
        const __m256i iu = _mm256_cvttps_epi32(pu), iv = _mm256_cvttps_epi32(pv);
        const __m256 fu = _mm256_sub_ps(pu, _mm256_cvtepi32_ps(iu)), fv = _mm256_sub_ps(pv, _mm256_cvtepi32_ps(iv));
        const __m256 fu_zero = _mm256_cmp_ps(fu, zero, _CMP_EQ_OQ), fv_zero = _mm256_cmp_ps(fv, zero, _CMP_EQ_OQ);
        const __m256i iu1 = next8(iu, fu_zero), iv1 = next8(iv, fv_zero);
        const __m256 A00 = cells8(rows, iv, iu), A01 = cells8(rows, iv, iu1), A10 = cells8(rows, iv1, iu),
                     A11 = cells8(rows, iv1, iu1);
        const __m256 gv = _mm256_sub_ps(one, fv), gu = _mm256_sub_ps(one, fu);
        const __m256 left =
            _mm256_blendv_ps(_mm256_add_ps(_mm256_mul_ps(gv, A00), _mm256_mul_ps(fv, A10)), A00, fv_zero);
        const __m256 right =
            _mm256_blendv_ps(_mm256_add_ps(_mm256_mul_ps(gv, A01), _mm256_mul_ps(fv, A11)), A01, fv_zero);
        const __m256 both = _mm256_add_ps(_mm256_mul_ps(gu, left), _mm256_mul_ps(fu, right));
        __m256 sample = _mm256_blendv_ps(both, left, fu_zero);
        if (_mm256_movemask_ps(_mm256_cmp_ps(sample, sample, _CMP_UNORD_Q)) != 0) [[unlikely]] {
            alignas(32) float settled[8], a00[8], a10[8], a01[8], a11[8];
            _mm256_store_ps(settled, sample);
            _mm256_store_ps(a00, A00);
            _mm256_store_ps(a10, A10);
            _mm256_store_ps(a01, A01);
            _mm256_store_ps(a11, A11);
            settle_nan_lanes(settled, a00, a10, a01, a11, 8);
            sample = _mm256_load_ps(settled);
        }
        _mm256_storeu_ps(out + i, _mm256_blendv_ps(sample, quiet_nan, nan));
    }
    sample_sse2(t, b, n - i, u + static_cast<std::ptrdiff_t>(i) * us, us, v + static_cast<std::ptrdiff_t>(i) * vs, vs,
                out + i);
}

#endif

} // namespace

void sample_many_using(bool avx2, const Record &t, const Clamp &bounds, std::size_t n, const float *u,
                       std::ptrdiff_t u_stride, const float *v, std::ptrdiff_t v_stride, float *out)
{
    if (bounds.empty) {
        std::fill(out, out + n, -1.0f); // another family, or a count of zero
        return;
    }
#if defined(__x86_64__)
    if (avx2)
        return sample_avx2(t, bounds, n, u, u_stride, v, v_stride, out);
    return sample_sse2(t, bounds, n, u, u_stride, v, v_stride, out);
#else
    (void)avx2;
    sample_scalar(t, bounds, 0, n, u, u_stride, v, v_stride, out);
#endif
}

void sample_many(const Record &t, const Clamp &bounds, std::size_t n, const float *u, std::ptrdiff_t u_stride,
                 const float *v, std::ptrdiff_t v_stride, float *out)
{
    sample_many_using(cpu::has_avx2(), t, bounds, n, u, u_stride, v, v_stride, out);
}

} // namespace gridvane::registry
