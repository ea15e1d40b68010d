// The settings object: defaults, constructors, mask set-up and the pointers
// to the library object; the equivalent-sigma constant; fetching of elements.
#include "errva_testing.h"

#include <tuple>
#include <vector>

TEST(ErrvaSettings, LibraryObjectAndConstructorsHoldTheDefaults) {
    // Nothing in this test program touches the library object before this point.
    const errvaclass* g = errva_globptr();
    EXPECT_EQ(g, &errva_global);
    EXPECT_EQ(errva_globpubptr(), g);
    errvaclass made;
    const errvaclass two(4.0f, 0.5f);
    const errvaclass* const all[] = {g, &made, &two};
    for (const errvaclass* s : all) {
        EXPECT_EQ(
            std::make_tuple(s->bad_mask, s->suspect_mask, s->flag_extrap, s->throw_on_unapprox),
            std::make_tuple(0x4000, 0x100, 0, 0));
        EXPECT_EQ(std::vector<int>(s->state_mask, s->state_mask + 4),
                  (std::vector<int>{0, 0x4000, 0, 0}));
    }
    for (const errvaclass* s : {all[0], all[1]})
        EXPECT_EQ(std::make_tuple(s->noise_ratio, bits_of(s->approx_limit)),
                  std::make_tuple(9.0f, 0x3F666666u));
    // Noise ratio first, then the limit.
    EXPECT_EQ(std::make_tuple(two.noise_ratio, two.approx_limit), std::make_tuple(4.0f, 0.5f));
    // The equivalent sigma divides by the FWHM of a unit Gaussian, 2 sqrt(2 ln 2).
    EXPECT_DOUBLE_EQ(fwhm_to_sigma, 2.3548200450309493);
    EXPECT_DOUBLE_EQ(made.EquivSigma(2.0), 2.0 / 2.3548200450309493);
}

TEST_F(ErrvaTest, MaskSetupReplacesMasksButKeepsOtherSettings) {
    errvaclass* g = errva_globptr();
    g->state_mask[2] = 0x77;
    g->flag_extrap = 1;
    g->noise_ratio = 5.0f;
    g->throw_on_unapprox = 1;
    errva_mask_setup(0x1, 0x2);
    EXPECT_EQ(std::make_tuple(g->bad_mask, g->suspect_mask, g->flag_extrap, g->throw_on_unapprox),
              std::make_tuple(0x1, 0x2, 0, 1));
    EXPECT_EQ(std::vector<int>(g->state_mask, g->state_mask + 4),
              (std::vector<int>{0, 1, 0x77, 0}));
    EXPECT_EQ(g->noise_ratio, 5.0f);
    EXPECT_EQ(bits_of(g->approx_limit), 0x3F666666u);
    // The new masks decide bad and suspect operands; 0x4000 and 0x100 are no
    // longer mask bits: they survive in the result word (0x4107 less the mask
    // bits 0x3 is 0x4104) and mark nothing.
    const OpCase cases[] = {{Add, 1, 3, 0x1, 2, 4, 0, ERRVA_BAD, 3, kNan, 0x4105},
                            {Add, 1, 3, 0, 2, 4, 0x2, ERRVA_BAD, 3, 5, 0x4105},
                            {Add, 1, 3, 0x4000, 2, 4, 0, ERRVA_OK, 3, 5, 0x4104}};
    for (int row = 0; row < 3; ++row)
        check_case<float>(cases[row], row);
}

TEST(ErrvaFetch, FetchesElementOfEachPresentArrayOrNothing) {
    // Each call starts from value and sigma 7 and mask 7; gives (return,
    // value, sigma, mask).  No values: 1, value untouched, sigma and mask 0.
    double vals[] = {1, 2, 3}, sigs[] = {0.1, 0.2, 0.3};
    float fvals[] = {1.5f, 2.5f}, fsigs[] = {0.5f, 0.25f};
    unsigned short masks[] = {4, 5, 6};
    auto d = [](int i, int u, int hv, double* v, int hs, double* s, int hm, unsigned short* m) {
        double value = 7, sigma = 7;
        unsigned short mask = 7;
        const int r = dfetch(&value, &sigma, &mask, i, u, hv, v, hs, s, hm, m);
        return std::make_tuple(r, value, sigma, int(mask));
    };
    auto f = [](int i, int u, int hv, float* v, int hs, float* s, int hm, unsigned short* m) {
        float value = 7, sigma = 7;
        unsigned short mask = 7;
        const int r = ffetch(&value, &sigma, &mask, i, u, hv, v, hs, s, hm, m);
        return std::make_tuple(r, value, sigma, int(mask));
    };
    EXPECT_EQ(d(1, 0, 0, vals, 1, vals, 0, nullptr), std::make_tuple(1, 7.0, 0.0, 0));
    EXPECT_EQ(f(0, 0, 1, nullptr, 0, nullptr, 0, nullptr), std::make_tuple(1, 7.0f, 0.0f, 0));
    EXPECT_EQ(d(2, 99, 1, vals, 1, sigs, 1, masks), std::make_tuple(0, 3.0, 0.3, 6));
    // An array that is flagged absent is not read.
    EXPECT_EQ(d(1, 0, 1, vals, 0, sigs, 1, nullptr), std::make_tuple(0, 2.0, 0.0, 0));
    EXPECT_EQ(f(1, 0, 1, fvals, 1, fsigs, 1, masks), std::make_tuple(0, 2.5f, 0.25f, 5));
}
