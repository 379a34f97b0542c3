// Bilinear sampling of many points per call. Each lane follows the one-point
// formula's steps exactly: the same clamps, the same truncations, and every
// product and sum in the same order in float32, so a lane's bits are those
// of sample() for its pair. The four cases of the formula (which fractions
// are zero) become selections between results, and a neighbour whose
// fraction is zero is the cell itself, so no lane reads a cell the formula
// would not; a NaN coordinate's lane reads cell (0, 0) and gives NaN.
//
// Random points over a table past the second-level cache wait on memory,
// not on arithmetic: the fewer instructions a point takes, the more points'
// loads the processor keeps in flight at once. So each lane reads its two
// cells of a row with one load, and the rows' pointers and columns come
// from plain stores and loads rather than gathers.
#include "sampling.hpp"

#include "common/cpu.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#    include <immintrin.h>
#endif

namespace gridvane_core::registry {

namespace {

// The plain path, for the points that do not fill a vector, for tables one
// column wide and for processors without vectors.
void sample_scalar(const Record &t, const Clamp &b, std::size_t from, std::size_t n, const float *u,
                   std::ptrdiff_t us, const float *v, std::ptrdiff_t vs, float *out)
{
    for (std::size_t i = from; i < n; ++i)
        out[i] = interpolate(t, u[static_cast<std::ptrdiff_t>(i) * us], v[static_cast<std::ptrdiff_t>(i) * vs], b);
}

#if defined(__x86_64__)

// How many columns the formula may read, from the clamp bound: a bound
// with a fraction reads the column beyond it.
std::int64_t columns_reached(const Clamp &b)
{
    return static_cast<std::int64_t>(std::ceil(static_cast<double>(b.last_u))) + 1;
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

// Two neighbouring cells of one row in one load; a pair of lanes in the
// low half (first) or both halves.
inline __m128 pair_of(const float *cells)
{
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(cells)));
}
inline __m128 pairs_of(const float *first, const float *second)
{
    return _mm_loadh_pi(pair_of(first), reinterpret_cast<const __m64 *>(second));
}

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

// Four points with SSE2: the arithmetic in vectors, the cells two at a time
// (the instruction set has no gather). Each lane loads the pair of cells
// that starts at its column, or at the one before where its column is the
// last the formula can read (last_pair + 1).
void sample_sse2(const Record &t, const Clamp &b, std::int32_t last_pair, std::size_t n, const float *u,
                 std::ptrdiff_t us, const float *v, std::ptrdiff_t vs, float *out)
{
    float *const *rows = t.node.rows;
    const __m128 zero = _mm_setzero_ps(), one = _mm_set1_ps(1.0f);
    const __m128 quiet_nan = _mm_set1_ps(std::numeric_limits<float>::quiet_NaN());
    const __m128i pair_limit = _mm_set1_epi32(last_pair);
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
        const __m128i past = _mm_cmpgt_epi32(iu, pair_limit); // the last column: its pair starts one before
        alignas(16) std::int32_t column[4], top[4], bottom[4];
        _mm_store_si128(reinterpret_cast<__m128i *>(column), _mm_add_epi32(iu, past));
        _mm_store_si128(reinterpret_cast<__m128i *>(top), iv);
        _mm_store_si128(reinterpret_cast<__m128i *>(bottom), next4(iv, fv_zero));
        const __m128 top01 = pairs_of(rows[top[0]] + column[0], rows[top[1]] + column[1]);
        const __m128 top23 = pairs_of(rows[top[2]] + column[2], rows[top[3]] + column[3]);
        const __m128 bottom01 = pairs_of(rows[bottom[0]] + column[0], rows[bottom[1]] + column[1]);
        const __m128 bottom23 = pairs_of(rows[bottom[2]] + column[2], rows[bottom[3]] + column[3]);
        const __m128 shifted = _mm_castsi128_ps(past);
        __m128 A00 = _mm_shuffle_ps(top01, top23, _MM_SHUFFLE(2, 0, 2, 0));
        __m128 A01 = _mm_shuffle_ps(top01, top23, _MM_SHUFFLE(3, 1, 3, 1));
        __m128 A10 = _mm_shuffle_ps(bottom01, bottom23, _MM_SHUFFLE(2, 0, 2, 0));
        __m128 A11 = _mm_shuffle_ps(bottom01, bottom23, _MM_SHUFFLE(3, 1, 3, 1));
        A00 = select4(shifted, A01, A00);
        A10 = select4(shifted, A11, A10);
        A01 = select4(fu_zero, A00, A01);
        A11 = select4(fu_zero, A10, A11);
        const __m128 gv = _mm_sub_ps(one, fv), gu = _mm_sub_ps(one, fu);
        const __m128 left = select4(fv_zero, A00, _mm_add_ps(_mm_mul_ps(gv, A00), _mm_mul_ps(fv, A10)));
        const __m128 right = select4(fv_zero, A01, _mm_add_ps(_mm_mul_ps(gv, A01), _mm_mul_ps(fv, A11)));
        const __m128 both = _mm_add_ps(_mm_mul_ps(gu, left), _mm_mul_ps(fu, right));
        __m128 sample = select4(fu_zero, left, both);
        if (_mm_movemask_ps(_mm_cmpunord_ps(sample, sample)) != 0) [[unlikely]] {
            alignas(16) float settled[4], a00[4], a10[4], a01[4], a11[4];
            _mm_store_ps(settled, sample);
            _mm_store_ps(a00, A00);
            _mm_store_ps(a10, A10);
            _mm_store_ps(a01, A01);
            _mm_store_ps(a11, A11);
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

// Where the fraction is not zero, one more (a true comparison is -1 as an
// integer).
GRIDVANE_AVX2 inline __m256i next8(__m256i index, __m256 fraction_zero)
{
    const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    return _mm256_sub_epi32(index, _mm256_castps_si256(_mm256_andnot_ps(fraction_zero, all)));
}

// The left and right cells of eight lanes from eight pairs, given as the
// pairs of lanes 0-1, 2-3, 4-5 and 6-7.
GRIDVANE_AVX2 inline void split8(__m128 p01, __m128 p23, __m128 p45, __m128 p67, __m256 &left, __m256 &right)
{
    const __m256 low = _mm256_insertf128_ps(_mm256_castps128_ps256(p01), p45, 1);
    const __m256 high = _mm256_insertf128_ps(_mm256_castps128_ps256(p23), p67, 1);
    left = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    right = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
}

// Eight points with AVX2, the cells two at a time as with SSE2: gathers
// are slower than loads one by one on some processors and no faster on
// the others.
GRIDVANE_AVX2 void sample_avx2(const Record &t, const Clamp &b, std::int32_t last_pair, std::size_t n,
                               const float *u, std::ptrdiff_t us, const float *v, std::ptrdiff_t vs, float *out)
{
    float *const *rows = t.node.rows;
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    const __m256 quiet_nan = _mm256_set1_ps(std::numeric_limits<float>::quiet_NaN());
    const __m256 last_u = _mm256_set1_ps(b.last_u), last_v = _mm256_set1_ps(b.last_v);
    const __m256i pair_limit = _mm256_set1_epi32(last_pair);
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
        const __m256i past = _mm256_cmpgt_epi32(iu, pair_limit); // the last column: its pair starts one before
        alignas(32) std::int32_t column[8], top[8], bottom[8];
        _mm256_store_si256(reinterpret_cast<__m256i *>(column), _mm256_add_epi32(iu, past));
        _mm256_store_si256(reinterpret_cast<__m256i *>(top), iv);
        _mm256_store_si256(reinterpret_cast<__m256i *>(bottom), next8(iv, fv_zero));
        __m256 A00, A01, A10, A11;
        split8(pairs_of(rows[top[0]] + column[0], rows[top[1]] + column[1]),
               pairs_of(rows[top[2]] + column[2], rows[top[3]] + column[3]),
               pairs_of(rows[top[4]] + column[4], rows[top[5]] + column[5]),
               pairs_of(rows[top[6]] + column[6], rows[top[7]] + column[7]), A00, A01);
        split8(pairs_of(rows[bottom[0]] + column[0], rows[bottom[1]] + column[1]),
               pairs_of(rows[bottom[2]] + column[2], rows[bottom[3]] + column[3]),
               pairs_of(rows[bottom[4]] + column[4], rows[bottom[5]] + column[5]),
               pairs_of(rows[bottom[6]] + column[6], rows[bottom[7]] + column[7]), A10, A11);
        const __m256 shifted = _mm256_castsi256_ps(past);
        A00 = _mm256_blendv_ps(A00, A01, shifted);
        A10 = _mm256_blendv_ps(A10, A11, shifted);
        A01 = _mm256_blendv_ps(A01, A00, fu_zero);
        A11 = _mm256_blendv_ps(A11, A10, fu_zero);
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
    sample_scalar(t, b, i, n, u, us, v, vs, out);
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
    // A pair of cells needs two columns; a table one column wide is read a
    // cell at a time.
    if (const std::int64_t columns = columns_reached(bounds); columns >= 2) {
        const auto last_pair = static_cast<std::int32_t>(columns - 2);
        if (avx2)
            return sample_avx2(t, bounds, last_pair, n, u, u_stride, v, v_stride, out);
        return sample_sse2(t, bounds, last_pair, n, u, u_stride, v, v_stride, out);
    }
#else
    (void)avx2;
#endif
    sample_scalar(t, bounds, 0, n, u, u_stride, v, v_stride, out);
}

void sample_many(const Record &t, const Clamp &bounds, std::size_t n, const float *u, std::ptrdiff_t u_stride,
                 const float *v, std::ptrdiff_t v_stride, float *out)
{
    sample_many_using(cpu::has_avx2(), t, bounds, n, u, u_stride, v, v_stride, out);
}

} // namespace gridvane_core::registry
