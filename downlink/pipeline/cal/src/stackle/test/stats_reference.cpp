// The per-pixel passes of stackle in their plain forms, one pixel column at a
// time through the column routines: the references that the block-wise passes
// must match bit for bit, for the tests and the benchmarks.
#include "stats_reference.h"

#include <cmath>

namespace {

// The values of pixel p that are not NaN, in DCE order, each with the weight of
// its DCE (1 without weights); returns their number.
int gather(const stack_view* stack, size_t p, const float* weight, data_struct* column) {
    int num_good = 0;
    for (int j = 0; j < stack->n; ++j)
        if (!stackle_isnan(stack->data[j][p]))
            column[num_good++] = {stack->data[j][p], j, weight != nullptr ? weight[j] : 1.0f};
    return num_good;
}

} // namespace

size_t trimming_pass_plain(const stack_view* stack, const control_settings* cs, data_struct* column,
                           stats_scratch* scratch, float nan_value) {
    size_t removed = 0;
    for (size_t p = 0; p < stack->npix; ++p) {
        const int before = gather(stack, p, nullptr, column);
        int num_good = before;
        if (cs->cut_frac > 0.0f)
            asymmetric_trimming(column, &num_good, cs, scratch);
        if (num_good == before)
            continue; // the planes already hold exactly these values
        removed += static_cast<size_t>(before - num_good);
        for (int j = 0; j < stack->n; ++j)
            stack->data[j][p] = nan_value;
        for (int i = 0; i < num_good; ++i)
            stack->data[column[i].dce][p] = column[i].value;
    }
    return removed;
}

void statistics_pass_plain(const stack_view* stack, const float* dce_weight,
                           const control_settings* cs, data_struct* column, float* means,
                           float* sdevs, int16_t* amask, float nan_value) {
    for (size_t p = 0; p < stack->npix; ++p) {
        const int num_good = gather(stack, p, dce_weight, column);
        double sum_sq = 0.0;
        int bmask_or = 0;
        for (int i = 0; i < num_good; ++i) {
            const int j = column[i].dce;
            if (stack->sdev != nullptr)
                sum_sq += static_cast<double>(stack->sdev[j][p] * stack->sdev[j][p]);
            if (stack->bmask != nullptr)
                bmask_or |= stack->bmask[j][p];
        }
        means[p] = sdevs[p] = nan_value;
        if (num_good > 0) {
            calc_weighted_stats(column, 0, num_good, &means[p]);
            sdevs[p] = static_cast<float>(std::sqrt(sum_sq) / num_good);
        }
        amask[p] = amask_value(num_good, bmask_or, cs);
    }
}
