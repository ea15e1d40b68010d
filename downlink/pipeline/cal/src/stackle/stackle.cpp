// stackle: co-adds a stack of N 2D FITS images pixel by pixel.
//
// The run: settings, file lists, the whole stack loaded into memory, the FOV
// used for weighting, the masking, trimming and statistics passes with the DCE
// weights between them, the products. Every failure prints its
// message and ends the process with status 64.
#include "coadd_fits.h"
#include "stackle.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

typedef char name_row[STACKLE_STRLEN];

// The file lists of a run and which of them are in use.
struct run_lists {
    name_row* data_files = nullptr;
    name_row* sdev_files = nullptr;
    name_row* bmask_files = nullptr;
    name_row* pmask_files = nullptr;
    bool use_sdev = false;
    bool use_bmask = false;
    bool use_pmask = false;
};

// The loaded stack: one plane per DCE in each table that is in use.
struct run_planes {
    float** data_planes = nullptr;
    float** sdev_planes = nullptr;
    int16_t** bmask_planes = nullptr;
    int16_t** pmask_planes = nullptr;
    int16_t* fmask_plane = nullptr;
};

void* checked_alloc(size_t count, size_t size, const char* name) {
    if (count == 0 || size > SIZE_MAX / count)
        malloc_failed(name);
    void* p = std::calloc(count, size);
    if (p == nullptr)
        malloc_failed(name);
    return p;
}

name_row* alloc_names(int n, const char* name) {
    return static_cast<name_row*>(checked_alloc(static_cast<size_t>(n), sizeof(name_row), name));
}

// Counts the data list (the run's N) and reads the image size from its first file.
void count_data_files(control_settings* cs, const list_sources* src) {
    char first_name[STACKLE_STRLEN];
    cs->num_files = count_filenames(src->data, src->nl_mode, "&COADD_DATA", "&END", first_name);
    if (cs->debug)
        std::printf("Counted %0d files; First filename = \"%s\"\n", cs->num_files, first_name);
    if (cs->num_files == 0) {
        std::printf("\aERROR:  No data filenames found in : \"%s\"", src->data);
        std::printf("Failure after routine count_filenames(), in stackle\n");
        std::exit(STACKLE_FAIL);
    }
    read_fits_dims_2d(first_name, &cs->xdim, &cs->ydim, cs->debug);
}

name_row* read_list(const char* source, const list_sources* src, int n, const char* marker,
                    const char* table_name) {
    name_row* names = alloc_names(n, table_name);
    read_filenames(source, src->nl_mode, names, n, marker, "&END");
    return names;
}

// Reads the data list, settles which other lists are in use and reads them.
void read_lists(const control_settings* cs, list_sources* src, run_lists* lists) {
    int n = cs->num_files;
    lists->data_files = read_list(src->data, src, n, "&COADD_DATA", "data_files");
    if (src->nl_mode)
        find_markers(src->data, &src->sdev_found, &src->bmask_found, &src->pmask_found);
    bool have_sdev = src->nl_mode ? src->sdev_found != 0 : cs->sdev_in_lfile_f != 0;
    bool have_bmask = src->nl_mode ? src->bmask_found != 0 : cs->bmask_in_lfile_f != 0;
    bool have_pmask = src->nl_mode ? src->pmask_found != 0 : cs->pmask_in_lfile_f != 0;
    lists->use_sdev = have_sdev;
    lists->use_bmask = have_bmask && cs->bfatal_f;
    lists->use_pmask = have_pmask && cs->pfatal_f;
    if (cs->debug)
        std::printf("use_bmask=%1d  use_pmask=%1d\n", lists->use_bmask ? 1 : 0,
                    lists->use_pmask ? 1 : 0);
    if (lists->use_sdev)
        lists->sdev_files = read_list(src->sdev, src, n, "&COADD_SDEV", "sdev_files");
    if (lists->use_bmask)
        lists->bmask_files = read_list(src->bmask, src, n, "&COADD_BMASK", "bmask_files");
    if (lists->use_pmask)
        lists->pmask_files = read_list(src->pmask, src, n, "&COADD_PMASK", "pmask_files");
}

const char* table_entry(const name_row* names, int i) {
    return names != nullptr ? names[i] : "--- ";
}

void print_input_table(const run_lists* lists, int n) {
    std::printf("\n%18s %18s %18s %18s\n", "DATA ", "SDEV ", "BMASK ", "PMASK ");
    for (int i = 0; i < n; ++i)
        std::printf("%18s %18s %18s %18s\n", lists->data_files[i],
                    table_entry(lists->sdev_files, i), table_entry(lists->bmask_files, i),
                    table_entry(lists->pmask_files, i));
    std::printf("\n");
}

void alloc_plane_tables(const control_settings* cs, const run_lists* lists, run_planes* planes) {
    size_t n = static_cast<size_t>(cs->num_files);
    planes->data_planes = static_cast<float**>(checked_alloc(n, sizeof(float*), "data_planes"));
    if (lists->use_sdev)
        planes->sdev_planes = static_cast<float**>(checked_alloc(n, sizeof(float*), "sdev_planes"));
    if (lists->use_bmask)
        planes->bmask_planes =
            static_cast<int16_t**>(checked_alloc(n, sizeof(int16_t*), "bmask_planes"));
    if (lists->use_pmask)
        planes->pmask_planes =
            static_cast<int16_t**>(checked_alloc(n, sizeof(int16_t*), "pmask_planes"));
    if (cs->debug)
        std::printf("Allocated data arrays.\n");
}

// Ends the run when plane `i` of the kind named `kind` ("data", "Sdev", ...)
// does not have the size of the stack.
void check_plane_size(const control_settings* cs, const char* kind_lower, const char* kind, int i,
                      int w, int h) {
    if (w == cs->xdim && h == cs->ydim)
        return;
    std::printf("\aERROR in input %s planes, in program %s\n", kind_lower, cs->progname);
    std::printf("\aERROR:  %s plane number %0d is %0dx%0d but should be %0dx%0d\n", kind, i, w, h,
                cs->xdim, cs->ydim);
    std::exit(STACKLE_FAIL);
}

// Reads every plane of the stack; returns the FOVID shared by the data files.
int load_stack(const control_settings* cs, const run_lists* lists, run_planes* planes) {
    int req_fov_num = -1;
    for (int i = 0; i < cs->num_files; ++i) {
        int w = 0;
        int h = 0;
        planes->data_planes[i] = read_fits(lists->data_files[i], &w, &h, &req_fov_num, cs->debug);
        check_plane_size(cs, "data", "Data", i, w, h);
        if (lists->use_sdev) {
            int no_fov_check = -9;
            planes->sdev_planes[i] =
                read_fits(lists->sdev_files[i], &w, &h, &no_fov_check, cs->debug);
            check_plane_size(cs, "sdev", "Sdev", i, w, h);
        }
        if (lists->use_bmask) {
            planes->bmask_planes[i] = read_fits_s(lists->bmask_files[i], &w, &h, cs->debug);
            check_plane_size(cs, "BMASK", "BMASK", i, w, h);
        }
        if (lists->use_pmask) {
            planes->pmask_planes[i] = read_fits_s(lists->pmask_files[i], &w, &h, cs->debug);
            check_plane_size(cs, "PMASK", "PMASK", i, w, h);
        }
    }
    return req_fov_num;
}

// Chooses the FOV whose pixels decide the DCE weights: the FOVID of the data
// files when weighting, -1 (none) otherwise.
void select_fov(control_settings* cs, int req_fov_num) {
    cs->fov_for_wts = -1;
    cs->bit_for_wts = -1;
    if (!cs->use_weights) {
        if (cs->debug)
            std::printf("cs.fov_for_wts NOT SET since it's not needed.\n");
    } else {
        if (req_fov_num <= 0) {
            std::printf("ERROR: FOVID wasn't found and stored in req_fov_num -- this shouldn't "
                        "happen!\n");
            std::exit(STACKLE_FAIL);
        }
        if (req_fov_num > INT16_MAX) {
            // The FOV number of the settings is 16-bit: a larger FOVID would select
            // another FOV silently.
            std::printf("\aERROR: FOVID=%1d of the data files is too large for DCE weighting "
                        "(at most %1d)\n",
                        req_fov_num, INT16_MAX);
            std::exit(STACKLE_FAIL);
        }
        cs->fov_for_wts = static_cast<int16_t>(req_fov_num);
        if (cs->verbose && cs->fov_for_wts > 0)
            std::printf("The selected FOV NUMBER = %1d will be used for DCE weighting\n",
                        cs->fov_for_wts);
    }
    if (cs->debug) {
        std::printf("(DBG) The selected FOV NUMBER = %1d will be used for DCE weighting",
                    cs->fov_for_wts);
        std::printf(cs->fov_for_wts > 0 ? "\n" : "  (-1 ==> no weighting)\n");
    }
}

// Looks the weighting FOV up in the FMASK lists and takes its bit value.
void find_fov_bit(control_settings* cs) {
    int i = 0;
    while (i < cs->num_fovs && cs->fovlist[i] != cs->fov_for_wts)
        ++i;
    if (i == cs->num_fovs || cs->bitlist[i] == -1) {
        std::printf("ERROR:  FOVID=%1d not found in FOVLIST from FMASK.\n", cs->fov_for_wts);
        std::exit(STACKLE_FAIL);
    }
    cs->bit_for_wts = static_cast<int16_t>(cs->bitlist[i]);
    if (cs->verbose)
        std::printf("Selecting FOV=%1d (BIT=%1d) for weighting\n", cs->fov_for_wts,
                    cs->bit_for_wts);
}

// Reads the FMASK lists and plane when an FMASK file is given (whether or not
// weighting is on) and settles bit_for_wts; returns the plane or null.
int16_t* load_fmask(control_settings* cs) {
    if (!cs->fmask_in_file_f)
        return nullptr;
    read_fmask_lists(cs);
    cs->bit_for_wts = -1;
    if (cs->num_fovs > 0 && cs->fov_for_wts > 0)
        find_fov_bit(cs);
    if (cs->debug)
        std::printf("cs.num_fovs = %1d  cs.fov_for_wts = %1d  cs.bit_for_wts = %1d\n", cs->num_fovs,
                    cs->fov_for_wts, cs->bit_for_wts);
    int w = 0;
    int h = 0;
    int16_t* plane = read_fits_s(cs->fmask_in_file, &w, &h, cs->debug);
    if (w != cs->xdim || h != cs->ydim) {
        std::printf("\aERROR in input FMASK, in program %s\n", cs->progname);
        std::printf("\aERROR:  FMASK dims are %0dx%0d but should be %0dx%0d\n", w, h, cs->xdim,
                    cs->ydim);
        std::exit(STACKLE_FAIL);
    }
    return plane;
}

// Number of pixels of a frame, for the verbose counts.
long frame_pixels(const control_settings* cs) {
    return static_cast<long>(cs->xdim) * static_cast<long>(cs->ydim);
}

void print_mask_counts(const control_settings* cs, const long* dce_num_good) {
    std::printf("\nAfter b/pmask, BEFORE trimming");
    if (cs->use_weights)
        std::printf(", in FOV %2d ONLY", cs->fov_for_wts);
    std::printf(":\n");
    for (int i = 0; i < cs->num_files; ++i) {
        std::printf("   In DCE %3d, Number of good pixels is %5ld => Number of pixels masked ", i,
                    dce_num_good[i]);
        if (cs->use_weights)
            std::printf("or in wrong FOV ");
        std::printf("is %5ld \n", frame_pixels(cs) - dce_num_good[i]);
    }
}

void print_weights(const control_settings* cs, const float* dce_weight, const long* dce_num_good) {
    const bool trimmed = cs->cut_frac > 0.0f;
    const bool fov_rows = trimmed && cs->use_weights;
    if (!trimmed) {
        std::printf("NO asymmetric trimming was performed, as requested by cut_frac (-cf) set to "
                    "ZERO.\n\n");
        std::printf("AFTER calculating weights:\n");
    } else {
        std::printf("AFTER asymmetric trimming");
        if (cs->use_weights)
            std::printf(", AFTER calculating weights, in FOV %2d ONLY", cs->fov_for_wts);
        else
            std::printf(", AFTER setting all weights to ONE");
        std::printf(":\n");
    }
    for (int i = 0; i < cs->num_files; ++i) {
        std::printf("   In DCE %3d, good pixels = %5ld => pixels masked, rejected", i,
                    dce_num_good[i]);
        if (fov_rows)
            std::printf(", or in wrong FOV");
        std::printf(" = %5ld, ", frame_pixels(cs) - dce_num_good[i]);
        std::printf("WEIGHT = %7.5f\n", dce_weight[i]);
    }
    std::printf("\n");
}

// Weights of the DCEs, with the two cautions that no verbosity silences.
void weigh_dces(const stack_view* stack, const control_settings* cs, float* dce_weight,
                long* dce_num_good) {
    weight_outcome outcome = dce_weights(stack, cs, dce_weight, dce_num_good);
    if (outcome == weights_all_zero)
        std::printf("\n\aCAUTION:  WEIRD DATA RESULT:  ALL WEIGHTS ARE ZERO!\n\n");
    else if (outcome == weights_max_negative)
        std::printf("\n\aCAUTION:  WEIRD DATA RESULT:  MAX WEIGHT IS NEGATIVE!\n\n");
    if (cs->verbose)
        print_weights(cs, dce_weight, dce_num_good);
}

// Writes every product; returns nonzero when any of them could not be made.
int write_products(const control_settings* cs, const run_lists* lists, const float* means,
                   const float* sdevs, const int16_t* amask, const float* dce_weight) {
    int failed = 0;
    int rc = 0;
    if (cs->file1_header_prop) {
        rc = write_flt_fits_with_hdrs(lists->data_files[0], cs->data_out_file, means, cs);
        if (rc == 0 && cs->verbose) {
            std::printf("Output    data file written: %s ", cs->data_out_file);
            std::printf("(with headers copied from %s)\n", lists->data_files[0]);
        }
    } else {
        rc = write_flt_fits(cs->data_out_file, means, cs);
        if (rc == 0 && cs->verbose)
            std::printf("Output    data file written: %s \n", cs->data_out_file);
    }
    failed |= rc;
    if (cs->sdev_out_file_f) {
        rc = write_flt_fits(cs->sdev_out_file, sdevs, cs);
        if (rc == 0 && cs->verbose)
            std::printf("Output    sdev file written: %s \n", cs->sdev_out_file);
        failed |= rc;
    }
    if (cs->amask_out_file_f) {
        rc = write_amask(amask, cs);
        if (rc == 0 && cs->verbose)
            std::printf("Output   amask file written: %s \n", cs->amask_out_file);
        failed |= rc;
    }
    rc = write_weights_list(dce_weight, lists->data_files, cs);
    if (rc == 0 && cs->verbose)
        std::printf("Output weights list written: %s \n", cs->wts_out_file);
    return failed | rc;
}

void free_planes(float** planes, int n) {
    for (int i = 0; planes != nullptr && i < n; ++i)
        std::free(planes[i]);
    std::free(planes);
}

void free_masks(int16_t** planes, int n) {
    for (int i = 0; planes != nullptr && i < n; ++i)
        std::free(planes[i]);
    std::free(planes);
}

void free_run(run_lists* lists, run_planes* planes, int n) {
    std::free(lists->data_files);
    std::free(lists->sdev_files);
    std::free(lists->bmask_files);
    std::free(lists->pmask_files);
    free_planes(planes->data_planes, n);
    free_planes(planes->sdev_planes, n);
    free_masks(planes->bmask_planes, n);
    free_masks(planes->pmask_planes, n);
    std::free(planes->fmask_plane);
}

// The per-pixel work of the run: trimming, weights, statistics, products.
// Returns nonzero when a product could not be made.
int coadd(const control_settings* cs, const run_lists* lists, const run_planes* planes,
          float nan_value) {
    size_t n = static_cast<size_t>(cs->num_files);
    size_t npix = 0;
    if (!stackle_plane_pixels(cs->xdim, cs->ydim, sizeof(float), &npix))
        malloc_failed("means");
    auto* data_column =
        static_cast<data_struct*>(checked_alloc(n, sizeof(data_struct), "data_column"));
    stats_scratch scratch;
    if (!stats_scratch_init(&scratch, cs->num_files)) {
        // The selection and deviation storage of the trimming, taken once for N.
        std::printf("ERROR: %s: Can't allocate required memory for medians in quickselect()\n",
                    cs->progname);
        std::exit(STACKLE_FAIL);
    }
    auto* dce_weight = static_cast<float*>(checked_alloc(n, sizeof(float), "dce_weight"));
    auto* dce_num_good = static_cast<long*>(checked_alloc(n, sizeof(long), "dce_num_good"));

    stack_view stack{planes->data_planes,
                     planes->sdev_planes,
                     const_cast<const int16_t* const*>(planes->bmask_planes),
                     const_cast<const int16_t* const*>(planes->pmask_planes),
                     planes->fmask_plane,
                     cs->num_files,
                     npix};
    masking_pass(&stack, cs, dce_num_good, nan_value);
    if (cs->verbose)
        print_mask_counts(cs, dce_num_good);
    // Weights that do not come from the trimmed planes are known before the
    // trimming: then each block is trimmed and summed in one go.
    bool one_pass = !weights_from_data(&stack, cs);
    if (!one_pass)
        trimming_pass(&stack, cs, data_column, &scratch, nan_value);
    weigh_dces(&stack, cs, dce_weight, dce_num_good);

    auto* means = static_cast<float*>(checked_alloc(npix, sizeof(float), "means"));
    auto* sdevs = static_cast<float*>(checked_alloc(npix, sizeof(float), "sdevs"));
    auto* amask = static_cast<int16_t*>(checked_alloc(npix, sizeof(int16_t), "amask"));
    stats_products out{dce_weight, means, sdevs, amask};
    if (one_pass)
        trimming_statistics_pass(&stack, cs, data_column, &scratch, &out, nan_value);
    else
        statistics_pass(&stack, dce_weight, cs, means, sdevs, amask, nan_value);
    int failed = write_products(cs, lists, means, sdevs, amask, dce_weight);

    std::free(means);
    std::free(sdevs);
    std::free(amask);
    std::free(dce_num_good);
    std::free(dce_weight);
    stats_scratch_free(&scratch);
    std::free(data_column);
    return failed;
}

} // namespace

int main(int argc, char** argv) {
    float nan_value = 0.0f;
    if (std::sscanf("NaN", "%f", &nan_value) != 1 || !stackle_isnan(nan_value))
        nan_value = __builtin_nanf("");
    if (argc > 1)
        ack_program_init(argv[0]);
    control_settings cs = process_cmd_args(argc, argv);
    complete_settings(&cs);
    list_sources src;
    choose_list_sources(&cs, &src);

    count_data_files(&cs, &src);
    run_lists lists;
    read_lists(&cs, &src, &lists);
    if (cs.verbose)
        print_input_table(&lists, cs.num_files);
    run_planes planes;
    alloc_plane_tables(&cs, &lists, &planes);
    if (lists.use_sdev) {
        std::printf("\n");
        std::printf("NOTE: The sdev files are not used when calculating flux.\n");
        std::printf("      They are only only used to calculate unc (unweighted, untrimmed).\n");
    }
    int req_fov_num = load_stack(&cs, &lists, &planes);
    select_fov(&cs, req_fov_num);
    planes.fmask_plane = load_fmask(&cs);

    int failed = coadd(&cs, &lists, &planes, nan_value);
    free_run(&lists, &planes, cs.num_files);
    if (failed != 0)
        error_and_exit(cs.progname, "one or more output products could not be written");
    ack_program_complete(cs.progname);
    if (cs.verbose)
        std::fprintf(stderr, "\n   <<<<< END OF %s PROGRAM >>>>> \n\n", argv[0]);
    return 0;
}
