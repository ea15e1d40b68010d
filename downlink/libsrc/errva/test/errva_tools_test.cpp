// The numerical tools of the library against hand-derived answers: random numbers (their
// first draws, worked out with exact integer arithmetic, (a * s) mod m, and for the Gaussian
// pairs single-precision rounding of each step), tridiagonal and band systems with
// hand-picked solutions, heap sorts against std::sort, the NaN tests on bit images and the
// tokenizer's table of lines.
#include "banded.h"
#include "errva_testing.h"
#include "heapsort.h"
#include "tokenize.h"
#include "tridiagonal.h"
#include "ugran.h"

#include <algorithm>
#include <cfenv>
#include <climits>
#include <random>
#include <string>
#include <vector>

// Must run first in this program: it checks the state the library starts in.  20000 draws
// from large seeds reach states where a * s overflows 32 bits; seeds outside 1 .. 214783399
// fall back to 345678 and 456789; Gaussian deviates come in pairs, and a new seed keeps the
// stored second one.
TEST(Tools, UniformDrawsReseedingAndGaussianPairs) {
    EXPECT_EQ(std::make_pair(portrand_s1, portrand_s2), std::make_pair(123456, 234567));
    for (double want : {0.8556144787377876, 0.024692028036942502, 0.1133335799135839})
        EXPECT_EQ(uniform_pure(), want);
    uniformseed(2147, 999);
    for (int i = 0; i < 19999; i++)
        ASSERT_TRUE(uniform_pure() > 0.0) << i;
    EXPECT_EQ(uniform_pure(), 0.9478980360939402);
    EXPECT_EQ(std::make_pair(portrand_s1, portrand_s2), std::make_pair(1498412923, 1610301008));
    uniformseed(0, 214783400);
    EXPECT_EQ(std::make_pair(portrand_s1, portrand_s2), std::make_pair(345678, 456789));
    uniformseed(214783399, 1);
    EXPECT_EQ(std::make_pair(portrand_s1, portrand_s2), std::make_pair(214783399, 1));
    uniformseed(-1, 1);
    EXPECT_EQ(uniform_pure(), 0.4409893638511686);
    uniformseed(12345, 67890);
    const float pairs[] = {0.04893886297941208f, -1.1760822534561157f, 1.535273790359497f,
                           -0.6184790134429932f, -0.1218239963054657f, -0.3458266258239746f};
    for (int k = 0; k < 6; k++) {
        if (k == 5)
            uniformseed(7, 8);
        EXPECT_EQ(gasdev_pure(), pairs[k]) << k;
    }
}

TEST(Tools, TridiagonalSystemProductInverseRowsAndPivots) {
    // M = [[2, 1, 0], [3, 4, 1], [0, 2, 5]]; a[0] and c[2] lie outside it (NaN: a read spoils
    // the result); x = (1, -1, 2) gives r = (1, 1, 8); the inverse is adj(M) / 21.
    float a[3] = {NAN, 3, 2}, b[3] = {2, 4, 5}, c[3] = {1, 1, NAN}, r[3] = {1, 1, 8}, u[3], g[3];
    const double x[3] = {1, -1, 2}, adj[9] = {0, -15, -4, 18, 10, 5, -5, -2, 0};
    ASSERT_EQ(tridiagsolve(a, b, c, r, u, g, 1e-6f, 3), 0);
    for (int i = 0; i < 3; i++)
        EXPECT_NEAR(u[i], x[i], 1e-6) << i;
    trimulvec(a, b, c, r, u, 3);
    EXPECT_EQ(std::vector<float>(u, u + 3), (std::vector<float>{3, 15, 42})); // M r
    float inv[3][3]; // below, on and above the diagonal
    ASSERT_EQ(triadiaginvert(a, b, c, inv[0], inv[1], inv[2], 1e-6f, 3), 0);
    for (int k = 0; k < 9; k++)
        EXPECT_NEAR(inv[k / 3][k % 3], adj[k] / 21, 1e-6) << k;
    trigetrow(a, b, c, u, 2, 3); // rows come out whole, put back as the band only
    EXPECT_EQ(std::vector<float>(u, u + 3), (std::vector<float>{0, 2, 5}));
    const float row[3] = {4, 5, 6};
    triputrow(a, b, c, u, 3, 3);
    triputrow(a, b, c, const_cast<float*>(row), 2, 3);
    EXPECT_TRUE(a[2] == 5 && b[2] == 6 && std::isnan(c[2]) && b[1] == 4);
    // |pivot| <= tol fails the solver (first pivot, then the second: 1 - 1 * 1/2), while the
    // inverse fails below tol only (forward, then from the bottom); order 0 does nothing.
    float pa[2] = {0, 1}, pb[2] = {0.5f, 1}, pc[2] = {1, 0}, pr[2] = {1, 1};
    EXPECT_EQ(tridiagsolve(pa, pb, pc, pr, u, g, 0.5f, 2), -1);
    pb[0] = 2;
    EXPECT_EQ(tridiagsolve(pa, pb, pc, pr, u, g, 0.5f, 2), -2);
    EXPECT_EQ(u[0], 0.5f);
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 0.5f, 2), 0);
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 0.6f, 2), -1);
    pb[1] = 1e-9f;
    EXPECT_EQ(triadiaginvert(pa, pb, pc, inv[0], inv[1], inv[2], 1e-6f, 2), -1);
    EXPECT_EQ(dtridiagsolve(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1, 0), 0);
}

TEST(Tools, BandSystemPivotTestPrinterAndSelfTest) {
    // Bandwidths 1 below and 2 above; x = (1, 2, -1, 1) gives r = (4, 11, -1, 2).  Band
    // cells outside the matrix hold NaN.
    const double m[4][4] = {{4, 1, 2, 0}, {1, 5, 1, 1}, {0, 2, 6, 1}, {0, 0, 1, 3}};
    double **a = bandalloc(4, 1, 2), x[4] = {4, 11, -1, 2}, want[4] = {1, 2, -1, 1};
    for (int i = 0; i < 4; i++)
        for (int j = i - 1; j <= i + 2; j++) {
            EXPECT_EQ(a[i][j], 0.0) << i << "," << j; // every cell zeroed, its own
            a[i][j] = j < 0 || j > 3 ? NAN : m[i][j];
        }
    EXPECT_EQ(bandlufact(a, 4, 1, 2, 1e-6f) + bandluforsubst(a, 4, 1, 2, x) +
                  bandlubaksubst(a, 4, 1, 2, x),
              0);
    for (int i = 0; i < 4; i++)
        EXPECT_NEAR(x[i], want[i], 1e-14) << i;
    bandfree(a, 4);
    EXPECT_TRUE(!bandalloc(-1, 1, 1) && !bandalloc(3, -1, 1) && !matalloc(2, -5) &&
                !matalloc(INT_MAX, INT_MAX) && !bandalloc(INT_MAX - 1, INT_MAX / 4, INT_MAX / 4));
    // A pivot below the float tolerance widened to double fails, one equal to it passes;
    // the last pivot (here 0) is never examined.
    a = matalloc(2, 2);
    a[0][0] = 0.5e-6, a[0][1] = a[1][0] = 2, a[1][1] = 4 / double(1e-6f);
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), -1);
    a[0][0] = double(1e-6f);
    EXPECT_EQ(bandlufact(a, 2, 1, 1, 1e-6f), 0);
    EXPECT_EQ(a[1][0], 2 / double(1e-6f));
    matfree(a, 2);
    a = bandalloc(2, 0, 1);
    a[0][0] = 1, a[0][1] = -4.5, a[1][1] = 3, a[1][2] = 99; // a[1][2] lies outside: not printed
    testing::internal::CaptureStdout();
    EXPECT_EQ(bandshow(stdout, a, 2, 0, 1, "T") + bandunit(stdout, 5) + bandunit(nullptr, 40), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "banded matrix n=2,p=0,q=1: T\n  0,         1.000,        -4.500,\n"
              "  1,         0.000,         3.000,\nbandunit passed unit test OK, n=5\n");
    bandfree(a, 2);
}

TEST(Tools, HeapSortsAndNanTestsOfBitImages) {
    std::mt19937 gen(7);
    for (int n : {0, 2, 3, 7, 16, 101, 1000})
        for (int kind = 0; kind < 5; kind++) { // ascending, descending, many duplicates
            std::vector<double> v(n);
            for (int i = 0; i < n; i++)
                v[i] = kind == 0 ? i : kind == 1 ? n - i : double(int(gen() % 41) - 20) / 4;
            std::vector<float> f(v.begin(), v.end());
            std::vector<double> want = v;
            std::sort(want.begin(), want.end());
            heapsort(n, f.data()); // fewer than two elements: nothing is touched
            heapsortd(n, v.data());
            EXPECT_TRUE(v == want && std::vector<double>(f.begin(), f.end()) == want) << n << kind;
        }
    EXPECT_EQ(std::make_tuple(const_exp_float, const_nan_float, const_mant_float, const_exp_double,
                              const_nan_double, const_mant_double),
              std::make_tuple(0x7F800000u, 0x7FC00000u, 0x007FFFFFu, 0x7FF0000000000000ull,
                              0x7FF8000000000000ull, 0x000FFFFFFFFFFFFFull));
    // Negative and signalling NaNs, infinity, the largest value, the smallest denormal: NaN,
    // infinity or neither, with no floating-point exception.
    const uint64_t bits[5][2] = {{0xFFC00000u, 0xFFF8000000000000ull},
                                 {0x7F800001u, 0x7FF0000000000001ull},
                                 {0xFF800000u, 0xFFF0000000000000ull},
                                 {0x7F7FFFFFu, 0x7FEFFFFFFFFFFFFFull},
                                 {1, 1}};
    std::feclearexcept(FE_ALL_EXCEPT);
    for (int k = 0; k < 5; k++) {
        const float f = from_bits<float>(bits[k][0]);
        const double d = from_bits<double>(bits[k][1]);
        EXPECT_EQ(std::make_tuple(iznanf(f), iznand(d), izinff(f), izinfd(d)),
                  std::make_tuple(k < 2, k < 2, k == 2, k == 2))
            << k;
    }
    EXPECT_EQ(std::fetestexcept(FE_INVALID), 0);
}

// Lines, cut characters, buffer size and count: the tokens and the scan position handed
// back.  The line lives in a heap block of exactly its size, every buffer has guard bytes.
TEST(Tools, TokenizeTableOfLines) {
    const struct {
        const char *line, *specials;
        int bufsize, maxtok;
        std::vector<std::string> tokens;
        long rest;
    } cases[] = {
        {"\t one  two\tthree  \n", "", 16, 5, {"one", "two", "three"}, 19},
        {"a b", "", 16, 0, {}, 0}, // no buffers: returns at once
        // Special characters cut and are consumed, except in the first position.
        {"=a,b;c", ",;=", 16, 1, {"=a"}, 3}, // rest points at the b
        {"a,b;c", ",;", 16, 5, {"a", "b", "c"}, 5},
        // Quoted tokens; in the second line the first '' lies in the second word, after
        // which the token runs on to the next single quote.
        {"'a b' c 'open end", "", 32, 5, {"'a b'", "c", "'open end"}, 17},
        {"'a' b''c' d", "", 32, 5, {"'a' b''c'", "d"}, 11},
        // bufsize - 1 characters fit; a longer word keeps its remainder for the next tokens;
        // a quoted token is cut; bufsize 1 holds none.
        {"abcdefgh i", "", 4, 4, {"abc", "def", "gh", "i"}, 10},
        {"'abcdef''gh' x", "", 5, 3, {"'abc", "x"}, 14},
        {"a b", "", 1, 2, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("line [") + c.line + "] bufsize " + std::to_string(c.bufsize));
        std::vector<std::string> store(c.maxtok, std::string(c.bufsize + 8, '#'));
        std::vector<char*> bufs;
        for (auto& s : store)
            bufs.push_back(&s[0]);
        char *line = strdup(c.line), *rest = nullptr;
        EXPECT_EQ(tokenize(line, c.specials, c.bufsize, c.maxtok, bufs.data(), &rest),
                  int(c.tokens.size()));
        for (int i = 0; i < c.maxtok; i++)
            EXPECT_EQ(std::string(bufs[i]) + store[i].substr(c.bufsize),
                      (i < int(c.tokens.size()) ? c.tokens[i] : "") + "########");
        EXPECT_EQ(rest - line, c.rest);
        free(line);
    }
}
