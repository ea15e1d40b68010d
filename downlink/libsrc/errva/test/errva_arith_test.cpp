// Sums, differences and products with uncertainty, in both precisions.
#include "errva_testing.h"

TYPED_TEST_SUITE(ErrvaTyped, Precisions);

TYPED_TEST(ErrvaTyped, SumsDifferencesAndProducts) {
    // The mask bits of the result word are replaced by state_mask[0] = 0 or,
    // for a bad or suspect operand, by state_mask[1] = 0x4000.
    const OpCase cases[] = {
        {Add, 1, 3, 0, 2, 4, 0, ERRVA_OK, 3, 5, 0x7}, // sqrt(3^2 + 4^2)
        {Sub, 5, 4, 0, 2, 3, 0, ERRVA_OK, 3, 5, 0x7},
        // 2^2 0.2^2 + 3^2 0.1^2 + 0.1^2 0.2^2 = 0.16 + 0.09 + 0.0004
        {Mul, 2, 0.1, 0, 3, 0.2, 0, ERRVA_OK, 6, std::sqrt(0.2504), 0x7, true},
        {Mul, 0, 3, 0, 0, 4, 0, ERRVA_OK, 0, 12, 0x7}, // only the term 3 * 4 is left
        // A suspect operand keeps the formulas but makes the result bad.
        {Add, 1, 3, 0x100, 2, 4, 0, ERRVA_BAD, 3, 5, 0x4007},
        {Mul, 0, 3, 0, 0, 4, 0x100, ERRVA_BAD, 0, 12, 0x4007},
        // Infinity is a number, not a NaN.
        {Add, kInf, 1, 0, 2, 1, 0, ERRVA_OK, kInf, std::sqrt(2.0), 0x7},
    };
    int row = 0;
    for (const OpCase& c : cases)
        check_case<TypeParam>(c, row++);
    // A NaN sigma or a bad operand: plain value 3 op 2, NaN sigma; a NaN value
    // stays NaN.
    const double plain[] = {5, 1, 6};
    for (ErrvaOp op : {Add, Sub, Mul}) {
        check_case<TypeParam>({op, 3, kNan, 0, 2, 1, 0, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, 3, 1, 0, 2, kNan, 0, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, 3, 1, 0x4000, 2, 1, 0, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, 3, 1, 0, 2, 1, 0x4001, ERRVA_BAD, plain[op], kNan, 0x4007}, op);
        check_case<TypeParam>({op, kNan, 1, 0, 2, 1, 0, ERRVA_BAD, kNan, kNan, 0x4007}, op);
    }
}
