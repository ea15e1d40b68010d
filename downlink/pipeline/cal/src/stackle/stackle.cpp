// stackle: co-adds a stack of N 2D FITS images pixel by pixel.
//
// The run: settings, file lists, the whole stack loaded into memory, the
// trimming pass, the statistics pass, the products. Every failure prints its
// message and ends the process with status 64.
#include "coadd_fits.h"
#include "stackle.h"

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

void load_stack(const control_settings* cs, const run_lists* lists, run_planes* planes) {
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
}

// Masking by BMASK/PMASK, the FMASK with its FOV selection, and DCE weighting
// are not part of this program yet: the mask planes are read and size-checked,
// no mask removes a pixel and every DCE weight is 1.0. Say so, so that nobody
// takes the products for masked or weighted ones.
void note_unapplied_stages(const control_settings* cs, const run_lists* lists) {
    if (lists->use_bmask || lists->use_pmask)
        std::printf("CAUTION: BMASK/PMASK masking is not applied in this version: "
                    "no pixel is removed by a mask.\n");
    if (cs->fmask_in_file_f || cs->use_weights)
        std::printf("CAUTION: FMASK and DCE weighting are not applied in this version: "
                    "every DCE weight is 1.0.\n");
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
    auto* dce_num_good = static_cast<int*>(checked_alloc(n, sizeof(int), "dce_num_good"));

    stack_view stack{planes->data_planes, planes->sdev_planes,
                     const_cast<const int16_t* const*>(planes->bmask_planes), cs->num_files, npix};
    trimming_pass(&stack, cs, data_column, &scratch, nan_value);
    for (size_t i = 0; i < n; ++i)
        dce_weight[i] = 1.0f;

    auto* means = static_cast<float*>(checked_alloc(npix, sizeof(float), "means"));
    auto* sdevs = static_cast<float*>(checked_alloc(npix, sizeof(float), "sdevs"));
    auto* amask = static_cast<int16_t*>(checked_alloc(npix, sizeof(int16_t), "amask"));
    statistics_pass(&stack, dce_weight, cs, data_column, means, sdevs, amask, nan_value);
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
    load_stack(&cs, &lists, &planes);
    note_unapplied_stages(&cs, &lists);

    int failed = coadd(&cs, &lists, &planes, nan_value);
    free_run(&lists, &planes, cs.num_files);
    if (failed != 0)
        error_and_exit(cs.progname, "one or more output products could not be written");
    ack_program_complete(cs.progname);
    if (cs.verbose)
        std::fprintf(stderr, "\n   <<<<< END OF %s PROGRAM >>>>> \n\n", argv[0]);
    return 0;
}
