// stackle: co-addition of a stack of 2D FITS images pixel by pixel.
//
// The settings record of a run, the per-pixel work record, and the routines of
// coadd_chores: banners, error exits, command line and namelist, file lists and
// the robust pixel statistics (selection, median, trimming, weighted mean).
#ifndef DOWNLINK_STACKLE_H
#define DOWNLINK_STACKLE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// Program version shown in banners and the usage text.
constexpr double STACKLE_VERSION = 8.05;
// The one failing exit status of the program.
constexpr int STACKLE_FAIL = 64;
// Size of every text buffer (at most 255 characters and a terminator).
constexpr int STACKLE_STRLEN = 256;
// Room for FOV numbers and their FMASK bits.
constexpr int STACKLE_MAX_FOVS = 20;

// Everything a co-addition run is told. Plain record, copied freely.
// A member with a companion `_f` flag is meaningful only while the flag is 1.
struct control_settings {
    unsigned char debug;
    unsigned char verbose;
    char progname[STACKLE_STRLEN];
    char namelist[STACKLE_STRLEN];
    unsigned char namelist_f;
    int fovlist[STACKLE_MAX_FOVS];
    int bitlist[STACKLE_MAX_FOVS];
    signed char num_fovs;
    unsigned char lists_in_nlfile;
    unsigned char lists_in_nlfile_f;
    char data_in_lfile[STACKLE_STRLEN];
    unsigned char data_in_lfile_f;
    char data_out_file[STACKLE_STRLEN];
    unsigned char data_out_file_f;
    char sdev_in_lfile[STACKLE_STRLEN];
    unsigned char sdev_in_lfile_f;
    char sdev_out_file[STACKLE_STRLEN];
    unsigned char sdev_out_file_f;
    char fmask_in_file[STACKLE_STRLEN];
    unsigned char fmask_in_file_f;
    char bmask_in_lfile[STACKLE_STRLEN];
    unsigned char bmask_in_lfile_f;
    char pmask_in_lfile[STACKLE_STRLEN];
    unsigned char pmask_in_lfile_f;
    char amask_out_file[STACKLE_STRLEN];
    unsigned char amask_out_file_f;
    char wts_out_file[STACKLE_STRLEN];
    unsigned char wts_out_file_f;
    unsigned char file1_header_prop;
    unsigned char file1_header_prop_f;
    int16_t bpass;
    unsigned char bpass_f;
    int16_t bfatal;
    unsigned char bfatal_f;
    int16_t pfatal;
    unsigned char pfatal_f;
    unsigned char use_weights;
    unsigned char use_weights_f;
    float cut_frac;
    unsigned char cut_frac_f;
    float cut_multiple;
    unsigned char cut_multiple_f;
    int32_t amask_min_good;
    unsigned char amask_min_good_f;
    int16_t usefovid;
    unsigned char usefovid_f;
    int16_t fov_for_wts;
    int16_t bit_for_wts;
    int32_t num_files;
    int32_t xdim;
    int32_t ydim;
};

// One value of a pixel's column: the value, the DCE it came from, that DCE's weight.
struct data_struct {
    float value;
    int dce;
    float weight;
};

// Where the four file lists come from, chosen after the settings are complete.
// In namelist mode every source is the namelist file and the three *_found
// indicators start at 1 until the section search settles them.
struct list_sources {
    char data[STACKLE_STRLEN];
    char sdev[STACKLE_STRLEN];
    char bmask[STACKLE_STRLEN];
    char pmask[STACKLE_STRLEN];
    unsigned char nl_mode;
    unsigned char sdev_found;
    unsigned char bmask_found;
    unsigned char pmask_found;
};

// Pixels the passes take at once: each plane is read as a run of this many
// consecutive pixels instead of one value per plane and pixel.
constexpr int STACKLE_BLOCK = 256;
// Largest N whose columns are sorted a block at a time by a sorting network.
constexpr int STACKLE_NETWORK_MAX = 1024;

// Scratch storage of the per-pixel statistics, sized once for N values so that
// the per-pixel passes never allocate.
struct stats_scratch {
    data_struct* select; // working copy for selection (capacity records)
    data_struct* devs;   // deviations from the median (capacity records)
    float* sorted;       // a column in ascending order (capacity values)
    float* values;       // the non-NaN values of one column (capacity values)
    int* dces;           // the DCE of each of those values (capacity)
    int* cut;            // positions of the values a trimming removed (capacity)
    float* tile;         // a block of pixels: capacity rows of STACKLE_BLOCK, in strips
    float* raw;          // the tile as loaded, before its columns are sorted
    int* network;        // compare-exchange pairs sorting `capacity` rows
    int network_size;    // pairs in `network`; 0 when capacity exceeds STACKLE_NETWORK_MAX
    int capacity;
};

// NaN test by bit pattern: NaN when the bits with the sign cleared exceed those
// of +infinity. Infinities count as data.
inline bool stackle_isnan(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

// Number of pixels of an xdim x ydim plane; false when a dimension is not
// positive or the product does not fit the memory a plane may take (the
// product in bytes of `elem_size` must fit size_t).
bool stackle_plane_pixels(int xdim, int ydim, size_t elem_size, size_t* npix);

// ---- banners and error exits (these print; the exits end the process) ----
void ack_program_init(const char* progname);
void ack_program_complete(const char* progname);
[[noreturn]] void error_and_exit(const char* progname, const char* reason);
[[noreturn]] void malloc_failed(const char* array_name);
[[noreturn]] void print_err_cmd(int position, const char* text);
[[noreturn]] void print_err_nl(const char* key, const char* value);

// ---- settings ----
void clear_cs_flags(control_settings* cs);
// Clears the record, records the program name, reads the namelist (-n), applies
// the command line and completes the settings (defaults and checks). Prints the
// usage and exits 0 without arguments; prints the sample namelist and exits 0
// on a help switch; exits 64 on a fatal error.
control_settings process_cmd_args(int argc, char** argv);
// Completion step: defaults where flags are clear, then the checks (exits 64).
void complete_settings(control_settings* cs);
// Chooses the sources of the four file lists from completed settings.
void choose_list_sources(const control_settings* cs, list_sources* src);
// Whether the run's DCE weights come from the data: weighting on and an FMASK
// file given. Else every weight is 1.0.
bool weights_come_from_data(const control_settings* cs);
void print_args(const control_settings* cs);
void print_usage(const control_settings* cs);
void detailed_help();
void str2uc(char* text);

// ---- namelist and file lists ----
void process_namelist(control_settings* cs, int argc, char** argv);
void namelist_line(control_settings* cs, const char* key, const char* value);
// Returns the number of names; copies the first into first_name (256 chars).
int count_filenames(const char* source, unsigned char nl_mode, const char* start_marker,
                    const char* end_marker, char* first_name);
void read_filenames(const char* source, unsigned char nl_mode, char (*names)[STACKLE_STRLEN],
                    int expected, const char* start_marker, const char* end_marker);
void find_markers(const char* namelist, unsigned char* sdev_found, unsigned char* bmask_found,
                  unsigned char* pmask_found);

// ---- robust pixel statistics ----
// Allocates scratch for columns of up to n records, and for n up to
// STACKLE_NETWORK_MAX the network sorting n rows; false when it cannot.
bool stats_scratch_init(stats_scratch* s, int n);
void stats_scratch_free(stats_scratch* s);
// k-th smallest value (k from 1) of n records; column unchanged; uses
// `scratch` (n records) as work space. Returns a copy of a record holding it.
data_struct quickselect(const data_struct* column, int n, int k, data_struct* scratch);
// Median of n >= 1 records (mean of the two middle values for even n).
float column_median(const data_struct* column, int n, data_struct* scratch);
// Removes outliers one at a time against cut_multiple x MAD, at most
// n x cut_frac of them; survivors keep their order, packed at the start.
void asymmetric_trimming(data_struct* column, int* n, const control_settings* cs,
                         stats_scratch* scratch);
// Weighted mean of `count` records starting at `first` into *mean.
void calc_weighted_stats(const data_struct* column, int first, int count, float* mean);
// The trimming of asymmetric_trimming for a column of `count` finite values
// (`dces` their DCEs, both in DCE order) through one sort into `sorted`
// (count values) instead of selections: the same survivors, packed in order,
// whose number it returns. Finite values keep every deviation a number, so
// the sorted order gives the same medians as the selection.
int trim_finite_column(float* values, int* dces, int count, const control_settings* cs,
                       float* sorted);

// ---- per-pixel passes of the run ----
// Instruction sets the passes may use where the processor has them: the widest
// is chosen at run time. Every one gives the same results bit for bit.
enum stats_simd { stats_simd_plain, stats_simd_avx512 };
// Caps the instruction set of the passes (for tests that compare them; the
// default is no cap). With stats_simd_plain the passes use SSE2, part of every
// x86-64.
void stats_limit_simd(int level);
// The planes of a loaded stack: n data planes, the sdev, BMASK and PMASK planes
// when in use (null tables otherwise), each of npix pixels, and the one FMASK
// plane when an FMASK file is given (null otherwise).
struct stack_view {
    float* const* data;
    float* const* sdev;
    const int16_t* const* bmask;
    const int16_t* const* pmask;
    const int16_t* fmask;
    int n;
    size_t npix;
};
// Masking pass: in every data plane writes nan_value over the pixels whose
// BMASK value hits bfatal or whose PMASK value hits pfatal (for the mask tables
// in use), and counts into dce_num_good (n entries) each DCE's remaining
// pixels, only those inside the weighting FOV when use_weights is on. Pixels
// that are NaN already are neither counted nor changed.
void masking_pass(const stack_view* stack, const control_settings* cs, long* dce_num_good,
                  float nan_value);
// How the DCE weights came out.
enum weight_outcome {
    weights_all_one,      // weighting off: every weight 1.0
    weights_normalised,   // divided by the largest, which became 1.0
    weights_all_zero,     // the largest sum is 0: left as they are
    weights_max_negative, // every sum is negative: left as they are
};
// DCE weights (n entries). With use_weights each DCE's weight is the sum of its
// non-NaN values inside the weighting FOV (its count goes to dce_num_good),
// then all are divided by the largest unless that is 0 or negative. Without
// weighting every weight is 1.0 and dce_num_good is left alone.
weight_outcome dce_weights(const stack_view* stack, const control_settings* cs, float* dce_weight,
                           long* dce_num_good);
// The two steps of dce_weights with weighting on, for a stack taken a part at a
// time: adds each DCE's non-NaN values inside the weighting FOV to sums[i] (in
// float, in pixel order) and their number to counts[i]; then divides the sums
// by the largest unless it is 0 or negative, and says which.
void add_weight_sums(const stack_view* stack, const control_settings* cs, float* sums,
                     long* counts);
weight_outcome normalise_weights(int n, float* dce_weight);
// AMASK value of a pixel with `good` values used and the OR of their BMASK values.
int16_t amask_value(int good, int bmask_or, const control_settings* cs);
// Trimming pass: trims every pixel's column (when cut_frac > 0) and leaves in
// each data plane only the surviving values, NaN elsewhere (the whole column
// of a trimmed pixel is rewritten). `column` holds n records. Returns the
// number of values removed. Works through blocks of pixels, and columns of
// finite values through trim_finite_column.
size_t trimming_pass(const stack_view* stack, const control_settings* cs, data_struct* column,
                     stats_scratch* scratch, float nan_value);
// Statistics pass: weighted means, uncertainties and AMASK of every pixel,
// summed in DCE order over blocks of pixels.
void statistics_pass(const stack_view* stack, const float* dce_weight, const control_settings* cs,
                     float* means, float* sdevs, int16_t* amask, float nan_value);
// The products of the statistics pass and the DCE weights they use.
struct stats_products {
    const float* dce_weight;
    float* means;
    float* sdevs;
    int16_t* amask;
};
// Both passes in one: each block of pixels is trimmed and then summed while
// its planes are still in cache. Only for weights that do not depend on the
// trimmed planes (weighting off). Returns the number of values removed.
size_t trimming_statistics_pass(const stack_view* stack, const control_settings* cs,
                                data_struct* column, stats_scratch* scratch,
                                const stats_products* out, float nan_value);

// ---- the run ----
// The band height of stackle_run that lets the run choose (about 3 MiB of all inputs).
constexpr int stackle_band_rows_auto = -1;
// The whole run of stackle on its command line: settings, file lists, the stack,
// the passes and the products. Reads the stack `band_rows` rows at a time (0: every
// plane whole; stackle_band_rows_auto: the run's choice), but whole with debug
// output on or when the inputs are too many to keep open. Returns 0, or ends the
// process with status 64 on any failure.
int stackle_run(int argc, char** argv, int band_rows);

#endif
