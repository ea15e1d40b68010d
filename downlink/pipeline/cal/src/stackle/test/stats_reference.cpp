// The per-pixel passes of stackle in their plain forms, one pixel column at a
// time through the column routines: the references that the block-wise passes
// must match bit for bit, for the tests and the benchmarks.
#include "stats_reference.h"

#include <cmath>

size_t trimming_pass_plain(const stack_view* stack, const control_settings* cs, data_struct* column,
                           stats_scratch* scratch, float nan_value) {
    size_t removed = 0;
    for (size_t p = 0; p < stack->npix; ++p) {
        int num_good = 0;
        for (int j = 0; j < stack->n; ++j) {
            float v = stack->data[j][p];
            if (stackle_isnan(v))
                continue;
            column[num_good].value = v;
            column[num_good].dce = j;
            column[num_good].weight = 1.0f;
            ++num_good;
        }
        int before = num_good;
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
        int num_good = 0;
        double sum_sq = 0.0;
        int bmask_or = 0;
        for (int j = 0; j < stack->n; ++j) {
            float v = stack->data[j][p];
            if (stackle_isnan(v))
                continue;
            column[num_good].value = v;
            column[num_good].dce = j;
            column[num_good].weight = dce_weight[j];
            ++num_good;
            if (stack->sdev != nullptr) {
                float s = stack->sdev[j][p];
                float sq = s * s;
                sum_sq += static_cast<double>(sq);
            }
            if (stack->bmask != nullptr)
                bmask_or |= stack->bmask[j][p];
        }
        if (num_good == 0) {
            means[p] = nan_value;
            sdevs[p] = nan_value;
        } else {
            calc_weighted_stats(column, 0, num_good, &means[p]);
            sdevs[p] = static_cast<float>(std::sqrt(sum_sq) / num_good);
        }
        amask[p] = amask_value(num_good, bmask_or, cs);
    }
}
