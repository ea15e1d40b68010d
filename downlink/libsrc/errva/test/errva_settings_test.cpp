// The settings object: defaults, constructors, mask set-up and the pointers
// to the library object; the equivalent-sigma constant; fetching of elements.
#include "errva_testing.h"

TEST(ErrvaSettings, LibraryObjectAndConstructorsHoldTheDefaults) {
    // Nothing in this test program touches the library object before this point.
    const errvaclass* g = errva_globptr();
    EXPECT_EQ(g, &errva_global);
    EXPECT_EQ(errva_globpubptr(), g);
    errvaclass made;
    const errvaclass two(4.0f, 0.5f);
    const errvaclass* const all[] = {g, &made, &two};
    for (const errvaclass* s : all) {
        EXPECT_EQ(s->bad_mask, 0x4000);
        EXPECT_EQ(s->suspect_mask, 0x100);
        EXPECT_EQ(s->flag_extrap, 0);
        const int states[4] = {s->state_mask[0], s->state_mask[1], s->state_mask[2],
                               s->state_mask[3]};
        EXPECT_EQ(states[0] | states[2] | states[3], 0);
        EXPECT_EQ(states[1], 0x4000);
        EXPECT_EQ(s->throw_on_unapprox, 0);
    }
    for (const errvaclass* s : {all[0], all[1]}) {
        EXPECT_EQ(s->noise_ratio, 9.0f);
        EXPECT_EQ(bits_of(s->approx_limit), 0x3F666666u);
    }
    EXPECT_EQ(two.noise_ratio, 4.0f); // noise ratio first, then the limit
    EXPECT_EQ(two.approx_limit, 0.5f);
    // The equivalent sigma divides by the FWHM of a unit Gaussian, 2 sqrt(2 ln 2).
    EXPECT_DOUBLE_EQ(fwhm_to_sigma, 2.0 * std::sqrt(2.0 * std::log(2.0)));
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
    EXPECT_EQ(g->bad_mask, 0x1);
    EXPECT_EQ(g->suspect_mask, 0x2);
    EXPECT_EQ(g->flag_extrap, 0);
    EXPECT_EQ(g->state_mask[0], 0);
    EXPECT_EQ(g->state_mask[1], 0x1);
    EXPECT_EQ(g->state_mask[2], 0x77);
    EXPECT_EQ(g->state_mask[3], 0);
    EXPECT_EQ(g->noise_ratio, 5.0f);
    EXPECT_EQ(bits_of(g->approx_limit), 0x3F666666u);
    EXPECT_EQ(g->throw_on_unapprox, 1);
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
    double vals[] = {1, 2, 3}, sigs[] = {0.1, 0.2, 0.3}, value = 7, sigma = 7;
    unsigned short masks[] = {4, 5, 6}, mask = 7;
    // No values: returns 1, value untouched, sigma and mask zero.
    EXPECT_EQ(dfetch(&value, &sigma, &mask, 1, 0, 0, vals, 1, vals, 0, nullptr), 1);
    EXPECT_EQ(value, 7.0);
    EXPECT_EQ(sigma, 0.0);
    EXPECT_EQ(mask, 0);
    float fvals[] = {1.5f, 2.5f}, fsigs[] = {0.5f, 0.25f}, fvalue = 7, fsigma = 7;
    mask = 7;
    EXPECT_EQ(ffetch(&fvalue, &fsigma, &mask, 0, 0, 1, nullptr, 0, nullptr, 0, nullptr), 1);
    EXPECT_EQ(fvalue, 7.0f);
    EXPECT_EQ(fsigma, 0.0f);
    EXPECT_EQ(mask, 0);
    EXPECT_EQ(dfetch(&value, &sigma, &mask, 2, 99, 1, vals, 1, sigs, 1, masks), 0);
    EXPECT_EQ(value, 3.0);
    EXPECT_EQ(sigma, 0.3);
    EXPECT_EQ(mask, 6);
    // An array that is flagged absent is not read.
    EXPECT_EQ(dfetch(&value, &sigma, &mask, 1, 0, 1, vals, 0, sigs, 1, nullptr), 0);
    EXPECT_EQ(value, 2.0);
    EXPECT_EQ(sigma, 0.0);
    EXPECT_EQ(mask, 0);
    EXPECT_EQ(ffetch(&fvalue, &fsigma, &mask, 1, 0, 1, fvals, 1, fsigs, 1, masks), 0);
    EXPECT_EQ(fvalue, 2.5f);
    EXPECT_EQ(fsigma, 0.25f);
    EXPECT_EQ(mask, 5);
}
