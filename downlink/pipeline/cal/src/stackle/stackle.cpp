// The run of stackle, which co-adds a stack of N 2D FITS images pixel by pixel.
//
// The run: settings, file lists, the stack, the FOV used for weighting, the
// masking, trimming and statistics passes with the DCE weights between them,
// the products. Every failure prints its message and ends the process with
// status 64.
//
// Unless debug is on, the inputs are opened with the checks of the whole-plane
// readers, kept open, and read a band of rows at a time into buffers reused
// for every band: the passes see pixel p of every plane together, so a band is
// a stack of its own. DCE weights that come from the data take a first pass
// over the bands to find them. With debug on (and when there are too many
// inputs to keep open) every plane is loaded whole first. The caller may set
// the band height (0: load whole planes), so that tests can compare the two ways.
#include "coadd_fits.h"
#include "product_files.h"
#include "stackle.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

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

// ---- files of the run

// The inputs of the run as the files they read: list files, namelist, FMASK and every frame.
std::vector<std::string> run_inputs_named(const control_settings* cs, const run_lists* lists) {
    std::vector<std::string> in;
    const std::pair<const char*, bool> texts[] = {{cs->namelist, cs->namelist_f != 0},
                                                  {cs->data_in_lfile, cs->data_in_lfile_f != 0},
                                                  {cs->sdev_in_lfile, cs->sdev_in_lfile_f != 0},
                                                  {cs->bmask_in_lfile, cs->bmask_in_lfile_f != 0},
                                                  {cs->pmask_in_lfile, cs->pmask_in_lfile_f != 0}};
    for (const auto& t : texts)
        if (t.second)
            in.emplace_back(t.first);
    if (cs->fmask_in_file_f)
        in.push_back(fits_input_file(cs->fmask_in_file));
    const name_row* tables[] = {lists->data_files, lists->sdev_files, lists->bmask_files,
                                lists->pmask_files};
    for (const name_row* names : tables)
        for (int i = 0; names != nullptr && i < cs->num_files; ++i)
            in.push_back(fits_input_file(names[i]));
    return in;
}

[[noreturn]] void refuse_run(const std::string& why) {
    std::printf("\aERROR: %s; nothing written\n", why.c_str());
    std::exit(STACKLE_FAIL);
}

// Before anything is read or written: every output name resolved the way its writer will
// write it, no output the same file as an input or another output, no input a pipe or device
// (the run reads its inputs more than once).
void check_run_files(const control_settings* cs, const run_lists* lists) {
    const std::pair<const char*, bool> outs[] = {{cs->data_out_file, true},
                                                 {cs->sdev_out_file, cs->sdev_out_file_f != 0},
                                                 {cs->amask_out_file, cs->amask_out_file_f != 0},
                                                 {cs->wts_out_file, true}};
    std::vector<product_target> targets;
    std::vector<std::string> inputs = run_inputs_named(cs, lists);
    std::string why;
    for (const auto& o : outs) {
        if (!o.second)
            continue;
        targets.emplace_back();
        if (!resolve_product(o.first, o.first != cs->wts_out_file, &targets.back(), &why))
            refuse_run(why);
        if (!targets.back().tmpl.empty())
            inputs.push_back(targets.back().tmpl);
    }
    for (const std::string& in : inputs)
        if (is_stream_file(in.c_str()))
            refuse_run("input " + in + " is a pipe or device, not a regular file");
    why = find_file_clash(targets, inputs);
    if (!why.empty())
        refuse_run(why);
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

// The tables of a stack, in the order their inputs are opened for each DCE.
enum stack_table { table_data, table_sdev, table_bmask, table_pmask, num_tables };

// Words of each table in the size messages.
const char* const kTableLower[num_tables] = {"data", "sdev", "BMASK", "PMASK"};
const char* const kTableName[num_tables] = {"Data", "Sdev", "BMASK", "PMASK"};

// File names of a table, or null when it is not in use.
const name_row* table_names(const run_lists* lists, int table) {
    const name_row* const names[num_tables] = {lists->data_files, lists->sdev_files,
                                               lists->bmask_files, lists->pmask_files};
    return names[table];
}

// Opens every input of the stack in order, DCE by DCE, through
// `take(table, i, name, &w, &h, &fovid)` and checks its size; returns the
// FOVID shared by the data files.
template <class Take>
int take_stack(const control_settings* cs, const run_lists* lists, Take take) {
    int req_fov_num = -1;
    for (int i = 0; i < cs->num_files; ++i) {
        for (int t = table_data; t < num_tables; ++t) {
            const name_row* names = table_names(lists, t);
            if (names == nullptr)
                continue;
            int w = 0;
            int h = 0;
            int no_fov_check = -9;
            take(t, i, names[i], &w, &h, t == table_data ? &req_fov_num : &no_fov_check);
            check_plane_size(cs, kTableLower[t], kTableName[t], i, w, h);
        }
    }
    return req_fov_num;
}

// Reads every plane of the stack whole; returns the FOVID of the data files.
int load_stack(const control_settings* cs, const run_lists* lists, run_planes* planes) {
    return take_stack(cs, lists, [&](int t, int i, const char* fn, int* w, int* h, int* fov) {
        if (t == table_data)
            planes->data_planes[i] = read_fits(fn, w, h, fov, cs->debug);
        else if (t == table_sdev)
            planes->sdev_planes[i] = read_fits(fn, w, h, fov, cs->debug);
        else if (t == table_bmask)
            planes->bmask_planes[i] = read_fits_s(fn, w, h, cs->debug);
        else
            planes->pmask_planes[i] = read_fits_s(fn, w, h, cs->debug);
    });
}

// The inputs of a stack read in bands: one table per file list in use.
struct run_inputs {
    band_input* tables[num_tables] = {};
};

// Opens every input of the stack for band reading; returns the FOVID of the
// data files.
int open_stack(const control_settings* cs, const run_lists* lists, run_inputs* inputs) {
    size_t n = static_cast<size_t>(cs->num_files);
    for (int t = table_data; t < num_tables; ++t)
        if (table_names(lists, t) != nullptr)
            inputs->tables[t] =
                static_cast<band_input*>(checked_alloc(n, sizeof(band_input), "inputs"));
    return take_stack(cs, lists, [&](int t, int i, const char* fn, int* w, int* h, int* fov) {
        inputs->tables[t][i] = t == table_data || t == table_sdev
                                   ? open_fits_bands(fn, w, h, fov, cs->debug)
                                   : open_fits_s_bands(fn, w, h, cs->debug);
    });
}

void close_inputs(run_inputs* inputs, int n) {
    for (band_input* table : inputs->tables) {
        for (int i = 0; table != nullptr && i < n; ++i)
            close_band_input(&table[i]);
        std::free(table);
    }
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
void report_weights(const control_settings* cs, weight_outcome outcome, const float* dce_weight,
                    const long* dce_num_good) {
    if (outcome == weights_all_zero)
        std::printf("\n\aCAUTION:  WEIRD DATA RESULT:  ALL WEIGHTS ARE ZERO!\n\n");
    else if (outcome == weights_max_negative)
        std::printf("\n\aCAUTION:  WEIRD DATA RESULT:  MAX WEIGHT IS NEGATIVE!\n\n");
    if (cs->verbose)
        print_weights(cs, dce_weight, dce_num_good);
}

void weigh_dces(const stack_view* stack, const control_settings* cs, float* dce_weight,
                long* dce_num_good) {
    report_weights(cs, dce_weights(stack, cs, dce_weight, dce_num_good), dce_weight, dce_num_good);
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

// Storage of the per-pixel work: column and scratch of the trimming, the DCE
// weights and counts, and the full-size products.
struct coadd_work {
    data_struct* column = nullptr;
    stats_scratch scratch{};
    float* dce_weight = nullptr;
    long* dce_num_good = nullptr;
    float* means = nullptr;
    float* sdevs = nullptr;
    int16_t* amask = nullptr;
    size_t npix = 0;
};

// Bytes a pixel of the three products (mean, uncertainty, AMASK) takes.
constexpr size_t kProductBytes = 2 * sizeof(float) + sizeof(int16_t);

// Takes the storage of the work. The three product planes share one
// allocation, named after the first of them when it fails: the products fit in
// memory together or not at all, whichever way the stack is read.
void init_work(const control_settings* cs, coadd_work* w) {
    size_t n = static_cast<size_t>(cs->num_files);
    if (!stackle_plane_pixels(cs->xdim, cs->ydim, kProductBytes, &w->npix))
        malloc_failed("means");
    w->column = static_cast<data_struct*>(checked_alloc(n, sizeof(data_struct), "data_column"));
    if (!stats_scratch_init(&w->scratch, cs->num_files)) {
        // The selection and deviation storage of the trimming, taken once for N.
        std::printf("ERROR: %s: Can't allocate required memory for medians in quickselect()\n",
                    cs->progname);
        std::exit(STACKLE_FAIL);
    }
    w->dce_weight = static_cast<float*>(checked_alloc(n, sizeof(float), "dce_weight"));
    w->dce_num_good = static_cast<long*>(checked_alloc(n, sizeof(long), "dce_num_good"));
    w->means = static_cast<float*>(checked_alloc(w->npix, kProductBytes, "means"));
    w->sdevs = w->means + w->npix;
    w->amask = reinterpret_cast<int16_t*>(w->sdevs + w->npix);
}

void free_work(coadd_work* w) {
    std::free(w->means); // with the other two products
    std::free(w->dce_num_good);
    std::free(w->dce_weight);
    stats_scratch_free(&w->scratch);
    std::free(w->column);
}

int write_work(const control_settings* cs, const run_lists* lists, const coadd_work* w) {
    return write_products(cs, lists, w->means, w->sdevs, w->amask, w->dce_weight);
}

// The per-pixel work of the run on whole planes: trimming, weights,
// statistics, products. Returns nonzero when a product could not be made.
int coadd(const control_settings* cs, const run_lists* lists, const run_planes* planes,
          float nan_value) {
    coadd_work w;
    init_work(cs, &w);
    stack_view stack{planes->data_planes,
                     planes->sdev_planes,
                     const_cast<const int16_t* const*>(planes->bmask_planes),
                     const_cast<const int16_t* const*>(planes->pmask_planes),
                     planes->fmask_plane,
                     cs->num_files,
                     w.npix};
    masking_pass(&stack, cs, w.dce_num_good, nan_value);
    if (cs->verbose)
        print_mask_counts(cs, w.dce_num_good);
    // Weights that do not come from the trimmed planes are known before the
    // trimming: then each block is trimmed and summed in one go.
    bool one_pass = !weights_come_from_data(cs);
    if (!one_pass)
        trimming_pass(&stack, cs, w.column, &w.scratch, nan_value);
    weigh_dces(&stack, cs, w.dce_weight, w.dce_num_good);
    stats_products out{w.dce_weight, w.means, w.sdevs, w.amask};
    if (one_pass)
        trimming_statistics_pass(&stack, cs, w.column, &w.scratch, &out, nan_value);
    else
        statistics_pass(&stack, w.dce_weight, cs, w.means, w.sdevs, w.amask, nan_value);
    int failed = write_work(cs, lists, &w);
    free_work(&w);
    return failed;
}

// ---- the stack in bands of rows

// Bytes of one row of every input of the stack.
size_t stack_row_bytes(const control_settings* cs, const run_lists* lists) {
    const size_t elem[num_tables] = {sizeof(float), sizeof(float), sizeof(int16_t),
                                     sizeof(int16_t)};
    size_t per_dce = 0;
    for (int t = table_data; t < num_tables; ++t)
        if (table_names(lists, t) != nullptr)
            per_dce += elem[t];
    return per_dce * static_cast<size_t>(cs->xdim) * static_cast<size_t>(cs->num_files);
}

long input_count(const control_settings* cs, const run_lists* lists) {
    long tables = 0;
    for (int t = table_data; t < num_tables; ++t)
        tables += table_names(lists, t) != nullptr ? 1 : 0;
    return tables * cs->num_files;
}

// Memory an input kept open takes (the library's buffers for one open file,
// about 130 KB): a stack of planes smaller than that is cheaper loaded whole.
constexpr size_t kOpenInputBytes = size_t{128} << 10;

bool whole_planes_cheaper(const control_settings* cs, const run_lists* lists) {
    const size_t open_cost = static_cast<size_t>(input_count(cs, lists)) * kOpenInputBytes;
    return stack_row_bytes(cs, lists) <= open_cost / static_cast<size_t>(std::max(1, cs->ydim));
}

// Rows read at once: `asked` unless it is stackle_band_rows_auto, else as many
// as make a band of all inputs about kBandBytes, but at least as many as make
// each read of a data plane kReadBytes (on deep stacks the reads of a few rows
// each cost more in their calls than in their bytes); 0 when the run loads
// whole planes instead (debug statistics of whole planes, too many inputs to
// keep open, or, when the height is not asked, planes that take less memory
// than keeping their files open).
int choose_band_rows(const control_settings* cs, const run_lists* lists, int asked) {
    constexpr size_t kBandBytes = size_t{3} << 20;
    constexpr size_t kReadBytes = size_t{32} << 10;
    const bool automatic = asked == stackle_band_rows_auto;
    if (cs->debug || !band_inputs_fit(input_count(cs, lists)) ||
        (automatic && whole_planes_cheaper(cs, lists)))
        return 0;
    const size_t data_row = sizeof(float) * static_cast<size_t>(cs->xdim);
    size_t rows =
        automatic
            ? std::max<size_t>({1, kBandBytes / stack_row_bytes(cs, lists), kReadBytes / data_row})
            : static_cast<size_t>(asked);
    return static_cast<int>(std::min<size_t>(rows, static_cast<size_t>(cs->ydim)));
}

// Band buffers of `rows` rows for every input in use, in the plane tables.
void alloc_bands(const control_settings* cs, run_planes* band, int rows) {
    size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cs->xdim);
    for (int i = 0; i < cs->num_files; ++i) {
        band->data_planes[i] = static_cast<float*>(checked_alloc(npix, sizeof(float), "band"));
        if (band->sdev_planes != nullptr)
            band->sdev_planes[i] = static_cast<float*>(checked_alloc(npix, sizeof(float), "band"));
        if (band->bmask_planes != nullptr)
            band->bmask_planes[i] =
                static_cast<int16_t*>(checked_alloc(npix, sizeof(int16_t), "band"));
        if (band->pmask_planes != nullptr)
            band->pmask_planes[i] =
                static_cast<int16_t*>(checked_alloc(npix, sizeof(int16_t), "band"));
    }
}

// The band buffer of DCE i in table t.
void* band_buffer(const run_planes* band, int t, int i) {
    if (t == table_data)
        return band->data_planes[i];
    if (t == table_sdev)
        return band->sdev_planes[i];
    return t == table_bmask ? band->bmask_planes[i] : band->pmask_planes[i];
}

// Reads rows [row, row + rows) of every input into the band buffers, but for
// the uncertainty planes unless `with_sdev`.
void read_stack_band(const control_settings* cs, const run_inputs* inputs, const run_planes* band,
                     int row, int rows, bool with_sdev) {
    for (int i = 0; i < cs->num_files; ++i)
        for (int t = table_data; t < num_tables; ++t)
            if (inputs->tables[t] != nullptr && (with_sdev || t != table_sdev))
                read_band(&inputs->tables[t][i], row, rows, band_buffer(band, t, i));
}

// Index in a plane of the first pixel of row `row`.
size_t row_start(const control_settings* cs, int row) {
    return static_cast<size_t>(row) * static_cast<size_t>(cs->xdim);
}

// The stack of a band of `rows` rows from `row`, with the FMASK's part of it.
stack_view band_view(const control_settings* cs, const run_planes* band, int row, int rows) {
    size_t first = row_start(cs, row);
    return stack_view{band->data_planes,
                      band->sdev_planes,
                      const_cast<const int16_t* const*>(band->bmask_planes),
                      const_cast<const int16_t* const*>(band->pmask_planes),
                      band->fmask_plane != nullptr ? band->fmask_plane + first : nullptr,
                      cs->num_files,
                      static_cast<size_t>(rows) * static_cast<size_t>(cs->xdim)};
}

// A band of `rows` rows from `row`: read (the uncertainty planes only when
// `with_sdev`) and masked, its counts of good pixels added to `good` unless
// that is null. Returns its view.
stack_view masked_band(const control_settings* cs, const run_inputs* inputs, const run_planes* band,
                       int row, int rows, bool with_sdev, long* band_good, long* good,
                       float nan_value) {
    read_stack_band(cs, inputs, band, row, rows, with_sdev);
    stack_view view = band_view(cs, band, row, rows);
    masking_pass(&view, cs, band_good, nan_value);
    for (int i = 0; good != nullptr && i < cs->num_files; ++i)
        good[i] += band_good[i];
    return view;
}

// The DCE weights from the data, band by band: every band masked and trimmed,
// its values inside the weighting FOV added to the sums; prints the masking
// counts and the weights as coadd does.
void weigh_bands(const control_settings* cs, run_inputs* inputs, const run_planes* band,
                 int band_rows, long* band_good, coadd_work* w, float nan_value) {
    auto* fov_good = static_cast<long*>(
        checked_alloc(static_cast<size_t>(cs->num_files), sizeof(long), "dce_num_good"));
    for (int row = 0; row < cs->ydim; row += band_rows) {
        int rows = std::min(band_rows, cs->ydim - row);
        stack_view view =
            masked_band(cs, inputs, band, row, rows, false, band_good, w->dce_num_good, nan_value);
        trimming_pass(&view, cs, w->column, &w->scratch, nan_value);
        add_weight_sums(&view, cs, w->dce_weight, fov_good);
    }
    if (cs->verbose)
        print_mask_counts(cs, w->dce_num_good);
    for (int i = 0; i < cs->num_files; ++i)
        w->dce_num_good[i] = fov_good[i];
    report_weights(cs, normalise_weights(cs->num_files, w->dce_weight), w->dce_weight,
                   w->dce_num_good);
    std::free(fov_good);
}

// Weighted statistics of every band with the weights found, reading and
// trimming each band again (the same values are removed again).
void weighted_bands(const control_settings* cs, run_inputs* inputs, const run_planes* band,
                    int band_rows, long* band_good, coadd_work* w, float nan_value) {
    for (int row = 0; row < cs->ydim; row += band_rows) {
        int rows = std::min(band_rows, cs->ydim - row);
        stack_view view =
            masked_band(cs, inputs, band, row, rows, true, band_good, nullptr, nan_value);
        trimming_pass(&view, cs, w->column, &w->scratch, nan_value);
        size_t first = row_start(cs, row);
        statistics_pass(&view, w->dce_weight, cs, w->means + first, w->sdevs + first,
                        w->amask + first, nan_value);
    }
}

// Unit weights: every band masked, trimmed and summed in one go; prints the
// masking counts and the weights as coadd does.
void unweighted_bands(const control_settings* cs, run_inputs* inputs, const run_planes* band,
                      int band_rows, long* band_good, coadd_work* w, float nan_value) {
    stack_view first_band = band_view(cs, band, 0, band_rows);
    dce_weights(&first_band, cs, w->dce_weight, w->dce_num_good);
    for (int row = 0; row < cs->ydim; row += band_rows) {
        int rows = std::min(band_rows, cs->ydim - row);
        stack_view view =
            masked_band(cs, inputs, band, row, rows, true, band_good, w->dce_num_good, nan_value);
        size_t first = row_start(cs, row);
        stats_products out{w->dce_weight, w->means + first, w->sdevs + first, w->amask + first};
        trimming_statistics_pass(&view, cs, w->column, &w->scratch, &out, nan_value);
    }
    if (cs->verbose)
        print_mask_counts(cs, w->dce_num_good);
    weigh_dces(&first_band, cs, w->dce_weight, w->dce_num_good);
}

// The per-pixel work of the run band by band; prints and writes as coadd does,
// then closes the inputs. Weights from the data take two passes over the
// bands, the first to find them. `band` holds the whole FMASK plane and gets
// the band buffers.
int coadd_bands(const control_settings* cs, const run_lists* lists, run_inputs* inputs,
                run_planes* band, int band_rows, float nan_value) {
    alloc_bands(cs, band, band_rows);
    coadd_work w;
    init_work(cs, &w);
    auto* band_good = static_cast<long*>(
        checked_alloc(static_cast<size_t>(cs->num_files), sizeof(long), "dce_num_good"));
    if (weights_come_from_data(cs)) {
        weigh_bands(cs, inputs, band, band_rows, band_good, &w, nan_value);
        weighted_bands(cs, inputs, band, band_rows, band_good, &w, nan_value);
    } else {
        unweighted_bands(cs, inputs, band, band_rows, band_good, &w, nan_value);
    }
    int failed = write_work(cs, lists, &w);
    close_inputs(inputs, cs->num_files);
    std::free(band_good);
    free_work(&w);
    return failed;
}

} // namespace

int stackle_run(int argc, char** argv, int band_rows_asked) {
    float nan_value = 0.0f;
    if (std::sscanf("NaN", "%f", &nan_value) != 1 || !stackle_isnan(nan_value))
        nan_value = __builtin_nanf("");
    if (argc > 1)
        ack_program_init(argv[0]);
    product_files_init();
    control_settings cs = process_cmd_args(argc, argv);
    complete_settings(&cs);
    list_sources src;
    choose_list_sources(&cs, &src);

    count_data_files(&cs, &src);
    run_lists lists;
    read_lists(&cs, &src, &lists);
    check_run_files(&cs, &lists);
    read_fits_dims_2d(lists.data_files[0], &cs.xdim, &cs.ydim, cs.debug);
    if (cs.verbose)
        print_input_table(&lists, cs.num_files);
    run_planes planes;
    alloc_plane_tables(&cs, &lists, &planes);
    if (lists.use_sdev) {
        std::printf("\n");
        std::printf("NOTE: The sdev files are not used when calculating flux.\n");
        std::printf("      They are only only used to calculate unc (unweighted, untrimmed).\n");
    }
    const int band_rows = choose_band_rows(&cs, &lists, band_rows_asked);
    run_inputs inputs;
    int req_fov_num =
        band_rows > 0 ? open_stack(&cs, &lists, &inputs) : load_stack(&cs, &lists, &planes);
    select_fov(&cs, req_fov_num);
    planes.fmask_plane = load_fmask(&cs);

    int failed = band_rows > 0 ? coadd_bands(&cs, &lists, &inputs, &planes, band_rows, nan_value)
                               : coadd(&cs, &lists, &planes, nan_value);
    free_run(&lists, &planes, cs.num_files);
    if (failed == 0)
        failed = commit_products();
    if (failed != 0)
        error_and_exit(cs.progname, "one or more output products could not be written");
    ack_program_complete(cs.progname);
    if (cs.verbose)
        std::fprintf(stderr, "\n   <<<<< END OF %s PROGRAM >>>>> \n\n", argv[0]);
    return 0;
}
