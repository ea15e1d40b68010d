// The settings object: defaults, constructors, mask set-up and the pointers
// to the library object; the equivalent-sigma constant.
#include "errva_testing.h"

#include <cmath>

TEST(ErrvaSettings, DefaultConstructorSetsTheDefaults) {
    const errvaclass s;
    EXPECT_EQ(s.bad_mask, 0x4000);
    EXPECT_EQ(s.suspect_mask, 0x100);
    EXPECT_EQ(s.flag_extrap, 0);
    EXPECT_EQ(s.state_mask[0], 0);
    EXPECT_EQ(s.state_mask[1], 0x4000);
    EXPECT_EQ(s.state_mask[2], 0);
    EXPECT_EQ(s.state_mask[3], 0);
    EXPECT_EQ(s.noise_ratio, 9.0f);
    EXPECT_EQ(bits_of(s.approx_limit), 0x3F666666u);
    EXPECT_EQ(s.throw_on_unapprox, 0);
}

TEST(ErrvaSettings, TwoArgumentConstructorTakesNoiseRatioThenLimit) {
    const errvaclass s(4.0f, 0.5f);
    EXPECT_EQ(s.noise_ratio, 4.0f);
    EXPECT_EQ(s.approx_limit, 0.5f);
    EXPECT_EQ(s.bad_mask, 0x4000);
    EXPECT_EQ(s.state_mask[1], 0x4000);
}

TEST(ErrvaSettings, LibraryObjectHasTheDefaultsBeforeAnyCall) {
    // Nothing in this test program touches the object before this point.
    const errvaclass* g = errva_globptr();
    EXPECT_EQ(g, &errva_global);
    EXPECT_EQ(errva_globpubptr(), g);
    EXPECT_EQ(g->bad_mask, 0x4000);
    EXPECT_EQ(g->suspect_mask, 0x100);
    EXPECT_EQ(g->noise_ratio, 9.0f);
    EXPECT_EQ(g->state_mask[1], 0x4000);
}

TEST(ErrvaSettings, EquivalentSigmaDividesByTheFwhmFactor) {
    EXPECT_DOUBLE_EQ(fwhm_to_sigma, 2.0 * std::sqrt(2.0 * std::log(2.0)));
    EXPECT_DOUBLE_EQ(fwhm_to_sigma, 2.3548200450309493);
    errvaclass s;
    EXPECT_DOUBLE_EQ(s.EquivSigma(2.0), 2.0 / 2.3548200450309493);
    EXPECT_DOUBLE_EQ(s.EquivSigma(fwhm_to_sigma), 1.0);
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
}

TEST_F(ErrvaTest, NewMasksDecideBadAndSuspectOperands) {
    errva_mask_setup(0x1, 0x2);
    float v = 0, s = 0;
    int flags = 0x4000 | 0x2;
    EXPECT_EQ(errva_add(&v, &s, &flags, 1, 3, 0x1, 2, 4, 0), ERRVA_BAD);
    EXPECT_TRUE(is_library_nan(s));
    EXPECT_EQ(flags, 0x4000 | 0x1); // 0x4000 is no longer a mask bit: it survives
    flags = 0x2;
    EXPECT_EQ(errva_add(&v, &s, &flags, 1, 3, 0, 2, 4, 0x2), ERRVA_BAD);
    EXPECT_EQ(s, 5.0f);
    EXPECT_EQ(flags, 0x1);
    flags = 0x2;
    EXPECT_EQ(errva_add(&v, &s, &flags, 1, 3, 0x4000, 2, 4, 0), ERRVA_OK);
    EXPECT_EQ(flags, 0);
}

TEST(ErrvaFetch, NoValuesReturnsOneAndZeroesSigmaAndMask) {
    double value = 7, sigma = 7;
    unsigned short mask = 7;
    double vals[] = {1, 2};
    EXPECT_EQ(dfetch(&value, &sigma, &mask, 1, 0, 0, vals, 1, vals, 0, nullptr), 1);
    EXPECT_EQ(value, 7.0);
    EXPECT_EQ(sigma, 0.0);
    EXPECT_EQ(mask, 0);
    float fvalue = 7, fsigma = 7;
    mask = 7;
    EXPECT_EQ(ffetch(&fvalue, &fsigma, &mask, 0, 0, 1, nullptr, 0, nullptr, 0, nullptr), 1);
    EXPECT_EQ(fvalue, 7.0f);
    EXPECT_EQ(fsigma, 0.0f);
    EXPECT_EQ(mask, 0);
}

TEST(ErrvaFetch, FetchesElementOfEachPresentArray) {
    double vals[] = {1, 2, 3}, sigs[] = {0.1, 0.2, 0.3};
    unsigned short masks[] = {4, 5, 6};
    double value = 0, sigma = 0;
    unsigned short mask = 0;
    EXPECT_EQ(dfetch(&value, &sigma, &mask, 2, 99, 1, vals, 1, sigs, 1, masks), 0);
    EXPECT_EQ(value, 3.0);
    EXPECT_EQ(sigma, 0.3);
    EXPECT_EQ(mask, 6);
    // An array that is flagged absent is not read.
    EXPECT_EQ(dfetch(&value, &sigma, &mask, 1, 0, 1, vals, 0, sigs, 1, nullptr), 0);
    EXPECT_EQ(value, 2.0);
    EXPECT_EQ(sigma, 0.0);
    EXPECT_EQ(mask, 0);
    float fvals[] = {1.5f, 2.5f}, fsigs[] = {0.5f, 0.25f};
    float fvalue = 0, fsigma = 0;
    EXPECT_EQ(ffetch(&fvalue, &fsigma, &mask, 1, 0, 1, fvals, 1, fsigs, 1, masks), 0);
    EXPECT_EQ(fvalue, 2.5f);
    EXPECT_EQ(fsigma, 0.25f);
    EXPECT_EQ(mask, 5);
}
