// The per-pixel passes of stackle in their plain forms: references for the tests and the
// benchmarks of the block-wise passes.
#pragma once

#include "stackle.h"

// trimming_pass one pixel at a time through asymmetric_trimming: the plain
// form that trimming_pass must match bit for bit.
size_t trimming_pass_plain(const stack_view* stack, const control_settings* cs, data_struct* column,
                           stats_scratch* scratch, float nan_value);
// statistics_pass one pixel column at a time through calc_weighted_stats: the
// plain form that statistics_pass must match bit for bit.
void statistics_pass_plain(const stack_view* stack, const float* dce_weight,
                           const control_settings* cs, data_struct* column, float* means,
                           float* sdevs, int16_t* amask, float nan_value);
