// stackle chores: banners, error exits, command line and settings, namelist and
// file lists, and the robust per-pixel statistics.
#include "stackle.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#elif defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace {

const char* const DEFAULT_WTS_FILE = "kestack_wt.txt";
const float DEFAULT_CUT_FRAC = 0.2f;
const float DEFAULT_CUT_MULTIPLE = 5.0f;
const int DEFAULT_AMASK_MIN_GOOD = 3;

// ------------------------------------------------------------------------
// Settings table shared by the command line and the namelist.
// ------------------------------------------------------------------------

enum class value_kind {
    byte_noflag, // integer kept as its low byte, no flag (verbose, debug)
    byte,        // integer kept as its low byte
    text,        // file name, at most 255 characters
    int16,       // 16-bit integer
    int32,       // 32-bit integer
    real         // 32-bit float
};

struct setting_def {
    const char* short_name; // namelist short key and command-line switch without '-'
    const char* long_name;  // namelist long key
    value_kind kind;
    size_t offset;      // member in control_settings
    size_t flag_offset; // its _f flag (unused for byte_noflag)
    bool cmd_no_value;  // on the command line the switch takes no value and sets 1
};

#define CS_MEMBER(m) offsetof(control_settings, m), offsetof(control_settings, m##_f)

const setting_def SETTINGS[] = {
    {"V", "VERBOSE", value_kind::byte_noflag, offsetof(control_settings, verbose), 0, true},
    {"D", "DEBUG", value_kind::byte_noflag, offsetof(control_settings, debug), 0, true},
    {"ls", "LISTS_IN_NLFILE", value_kind::byte, CS_MEMBER(lists_in_nlfile), true},
    {"di", "DATA_IN_LFILE", value_kind::text, CS_MEMBER(data_in_lfile), false},
    {"do", "DATA_OUT_FILE", value_kind::text, CS_MEMBER(data_out_file), false},
    {"si", "SDEV_IN_LFILE", value_kind::text, CS_MEMBER(sdev_in_lfile), false},
    {"so", "SDEV_OUT_FILE", value_kind::text, CS_MEMBER(sdev_out_file), false},
    {"fm", "FMASK_IN_FILE", value_kind::text, CS_MEMBER(fmask_in_file), false},
    {"bm", "BMASK_IN_LFILE", value_kind::text, CS_MEMBER(bmask_in_lfile), false},
    {"pm", "PMASK_IN_LFILE", value_kind::text, CS_MEMBER(pmask_in_lfile), false},
    {"am", "AMASK_OUT_FILE", value_kind::text, CS_MEMBER(amask_out_file), false},
    {"wo", "WTS_OUT_FILE", value_kind::text, CS_MEMBER(wts_out_file), false},
    {"bp", "BPASS", value_kind::int16, CS_MEMBER(bpass), false},
    {"bf", "BFATAL", value_kind::int16, CS_MEMBER(bfatal), false},
    {"pf", "PFATAL", value_kind::int16, CS_MEMBER(pfatal), false},
    {"ag", "AMASK_MIN_GOOD", value_kind::int32, CS_MEMBER(amask_min_good), false},
    {"h1", "FILE1_HEADER_PROP", value_kind::byte, CS_MEMBER(file1_header_prop), true},
    {"wt", "USE_WEIGHTS", value_kind::byte, CS_MEMBER(use_weights), false},
    {"cf", "CUT_FRAC", value_kind::real, CS_MEMBER(cut_frac), false},
    {"cm", "CUT_MULTIPLE", value_kind::real, CS_MEMBER(cut_multiple), false},
};

#undef CS_MEMBER

// Scans a signed decimal integer: leading blanks skipped, trailing text
// ignored. False when no digits are found or the number does not fit 32 bits.
bool scan_long(const char* text, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = v;
    return true;
}

bool scan_float(const char* text, float* out) {
    char* end = nullptr;
    float v = std::strtof(text, &end);
    if (end == text)
        return false;
    *out = v;
    return true;
}

// Stores `value` into the member of `def`; false when it does not scan, is out
// of range for the member, or is longer than 255 characters (numbers too: a
// value no text buffer could hold is refused whatever its kind).
bool assign_setting(control_settings* cs, const setting_def& def, const char* value) {
    char* base = reinterpret_cast<char*>(cs);
    void* member = base + def.offset;
    long iv = 0;
    if (std::strlen(value) >= static_cast<size_t>(STACKLE_STRLEN))
        return false;
    switch (def.kind) {
    case value_kind::text:
        std::strcpy(static_cast<char*>(member), value);
        break;
    case value_kind::byte_noflag:
    case value_kind::byte:
        if (!scan_long(value, &iv))
            return false;
        *static_cast<unsigned char*>(member) = static_cast<unsigned char>(iv & 0xFF);
        break;
    case value_kind::int16:
        // A bit template may be written as an unsigned 16-bit number.
        if (!scan_long(value, &iv) || iv < INT16_MIN || iv > UINT16_MAX)
            return false;
        *static_cast<int16_t*>(member) = static_cast<int16_t>(static_cast<uint16_t>(iv & 0xFFFF));
        break;
    case value_kind::int32:
        if (!scan_long(value, &iv))
            return false;
        *static_cast<int32_t*>(member) = static_cast<int32_t>(iv);
        break;
    case value_kind::real: {
        float fv = 0.0f;
        if (!scan_float(value, &fv))
            return false;
        *static_cast<float*>(member) = fv;
        break;
    }
    }
    if (def.kind != value_kind::byte_noflag)
        base[def.flag_offset] = 1;
    return true;
}

// Sets a value-less command-line switch to 1 (with its flag where it has one).
void set_switch_on(control_settings* cs, const setting_def& def) {
    assign_setting(cs, def, "1");
}

const setting_def* find_switch(const char* name) {
    for (const setting_def& def : SETTINGS)
        if (std::strcmp(name, def.short_name) == 0)
            return &def;
    return nullptr;
}

void copy_text(char* dst, const char* src) {
    std::snprintf(dst, STACKLE_STRLEN, "%s", src);
}

// ------------------------------------------------------------------------
// Text reading shared by the namelist and list readers.
// ------------------------------------------------------------------------

// Longest physical line a text reader takes: names and values hold at most 255 characters,
// so a longer line is at most a long comment; past this it is refused unread.
constexpr size_t kMaxLineBytes = 4096;

// The text file being read, named in the long-line message.
std::string& text_file_name() {
    static std::string name;
    return name;
}

// Opens a text file for reading; a directory counts as a file that cannot be opened, and so
// does a pipe or device (every list is read more than once, and an endless device never
// ends its first line): it is refused with a message of its own before the open message.
FILE* open_text_file(const char* name) {
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0 && !S_ISDIR(st.st_mode))
            std::printf("\aERROR: %s is a pipe or device, not a regular file\n", name);
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    FILE* f = fdopen(fd, "r");
    if (f == nullptr)
        close(fd);
    text_file_name() = name;
    return f;
}

// Reads one physical line, its line end included; false at end of file.  A line longer than
// kMaxLineBytes ends the run.
bool read_line(FILE* f, std::string* line) {
    line->clear();
    int c;
    while ((c = std::getc(f)) != EOF) {
        line->push_back(static_cast<char>(c));
        if (c == '\n')
            break;
        if (line->size() > kMaxLineBytes) {
            std::printf("\aERROR: a line of %s is longer than %zu characters\n",
                        text_file_name().c_str(), kMaxLineBytes);
            std::exit(STACKLE_FAIL);
        }
    }
    return !line->empty();
}

bool holds_nul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

bool is_blank_char(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Splits off up to `max_words` words of `line` into `words`.
void split_words(const std::string& line, std::vector<std::string>* words, size_t max_words) {
    words->clear();
    size_t i = 0;
    while (i < line.size() && words->size() < max_words) {
        while (i < line.size() && is_blank_char(line[i]))
            ++i;
        size_t start = i;
        while (i < line.size() && !is_blank_char(line[i]))
            ++i;
        if (i > start)
            words->push_back(line.substr(start, i - start));
    }
}

std::string first_word(const std::string& line) {
    std::vector<std::string> words;
    split_words(line, &words, 1);
    return words.empty() ? std::string() : words[0];
}

std::string upper_copy(const std::string& text) {
    std::string up = text;
    str2uc(&up[0]);
    return up;
}

bool is_marker(const std::string& word, const char* marker) {
    return upper_copy(word) == marker;
}

void print_open_error(const char* kind, const char* name, const char* routine) {
    std::printf("\aERROR opening %s file: \"%s\"", kind, name);
    std::printf(" in routine %s()\n", routine);
}

// ------------------------------------------------------------------------
// Usage text helpers.
// ------------------------------------------------------------------------

void padded(int width, const char* text) {
    std::printf("%-*s\n", width, text);
}

void padded_lines(int width, const char* const* lines, size_t count) {
    for (size_t i = 0; i < count; ++i)
        padded(width, lines[i]);
}

// A sample key line with its long key name from column 41.
void sample_key(const char* left, const char* long_name) {
    char line[128];
    std::snprintf(line, sizeof line, "%-40s%s", left, long_name);
    padded(64, line);
}

void sample_list(const char* marker, char letter) {
    padded(64, marker);
    for (int i = 1; i <= 3; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "  %c%d.fits", letter, i);
        padded(64, line);
    }
    padded(64, "&END");
    padded(64, "");
}

void print_file_arg(const char* sw, const char* label, const char* value, unsigned char flag) {
    if (flag)
        std::printf("  (-%s)  %-15s = \"%s\"\n", sw, label, value);
    else
        std::printf("  (-%s)  %-17s NOT DEFINED. \n", sw, label);
}

void print_int_arg(const char* sw, const char* label, int value, unsigned char flag) {
    if (flag)
        std::printf("  (-%s)  %-15s = %1d\n", sw, label, value);
    else
        std::printf("  (-%s)  %-17s NOT DEFINED. \n", sw, label);
}

void print_float_arg(const char* sw, const char* label, float value, unsigned char flag) {
    if (flag)
        std::printf("  (-%s)  %-15s = %g\n", sw, label, static_cast<double>(value));
    else
        std::printf("  (-%s)  %-17s NOT DEFINED. \n", sw, label);
}

void print_word_arg(const char* sw, const char* label, const char* word, unsigned char flag) {
    if (flag)
        std::printf("  (-%s)  %-15s = %s\n", sw, label, word);
    else
        std::printf("  (-%s)  %-17s NOT DEFINED. \n", sw, label);
}

void print_rule(int count) {
    for (int i = 0; i < count; ++i)
        std::putchar('@');
    std::putchar('\n');
}

void print_banner(const char* progname, const char* state, const char* at) {
    std::printf("\n==============================================");
    std::printf("==============================================\n");
    std::printf("===>     ");
    std::printf("STACKLE MODULE \"%s\"  VERSION = %g %s.\n", progname, STACKLE_VERSION, state);
    std::printf("===>     ");
    std::printf("%s", at);
    std::fflush(stdout);
    if (std::system("date") != 0)
        std::printf("\n");
    std::printf("==============================================");
    std::printf("==============================================\n");
    std::printf("\n");
}

// ------------------------------------------------------------------------
// List walking shared by count_filenames and read_filenames.
// ------------------------------------------------------------------------

struct list_walk {
    const char* source;
    unsigned char nl_mode;
    const char* start_marker;
    const char* end_marker;
    const char* routine;
    const char* start_missing_word; // "MISKAKE" for the count, else "MISTAKE"
    char (*names)[STACKLE_STRLEN];  // rows to fill, or null
    int capacity;                   // rows available in `names`
    char* first_name;               // buffer for the first name, or null
};

enum class walk_end { ended_by_marker, end_of_file, no_start_marker };

void name_too_long(const list_walk& w) {
    std::printf("\aERROR in FILELIST file: \"%s\"", w.source);
    std::printf(" in routine %s(): a filename is longer than %d characters\n", w.routine,
                STACKLE_STRLEN - 1);
    std::exit(STACKLE_FAIL);
}

// A NUL byte would end the name early (or leave it empty) unseen.
void name_holds_nul(const list_walk& w) {
    std::printf("\aERROR in FILELIST file: \"%s\"", w.source);
    std::printf(" in routine %s(): a filename holds a NUL byte\n", w.routine);
    std::exit(STACKLE_FAIL);
}

// Skips to the start marker; false when the end of the file comes first.
bool seek_start_marker(FILE* f, const char* marker) {
    std::string line;
    while (read_line(f, &line))
        if (is_marker(first_word(line), marker))
            return true;
    return false;
}

walk_end walk_names(FILE* f, const list_walk& w, int* found) {
    std::string line;
    bool any_word_line = false;
    *found = 0;
    while (read_line(f, &line)) {
        std::string word = first_word(line);
        if (word.empty())
            continue;
        any_word_line = true;
        if (is_marker(word, w.end_marker))
            return walk_end::ended_by_marker;
        if (word[0] == '#')
            continue;
        if (word.size() >= static_cast<size_t>(STACKLE_STRLEN))
            name_too_long(w);
        if (holds_nul(word))
            name_holds_nul(w);
        if (*found == 0 && w.first_name != nullptr)
            copy_text(w.first_name, word.c_str());
        if (w.names != nullptr && *found < w.capacity)
            copy_text(w.names[*found], word.c_str());
        ++*found;
    }
    return any_word_line ? walk_end::end_of_file : walk_end::ended_by_marker;
}

// Walks one list and prints the cautions; returns how it ended and the count.
walk_end run_list_walk(const list_walk& w, int* found) {
    *found = 0;
    FILE* f = open_text_file(w.source);
    if (f == nullptr) {
        print_open_error("FILELIST", w.source, w.routine);
        std::exit(STACKLE_FAIL);
    }
    if (w.nl_mode && !seek_start_marker(f, w.start_marker)) {
        std::fclose(f);
        std::printf("CAUTION: %s IN NAMELIST, %s -- \"%s\" not found.\n", w.start_missing_word,
                    w.source, w.start_marker);
        std::printf("         IGNORING NAMELIST. \n\n");
        return walk_end::no_start_marker;
    }
    walk_end how = walk_names(f, w, found);
    std::fclose(f);
    if (w.nl_mode && how == walk_end::end_of_file) {
        std::printf("CAUTION: MISTAKE IN NAMELIST, %s -- \"%s\" not found.\n", w.source,
                    w.end_marker);
        std::printf("         IGNORING LACK OF \"%s\". \n\n", w.end_marker);
    }
    return how;
}

// ------------------------------------------------------------------------
// Namelist settings section.
// ------------------------------------------------------------------------

// Replaces '=', ',', '\'' and '"' by blanks from the second character on.
void blank_separators(std::string* line) {
    for (size_t i = 1; i < line->size(); ++i) {
        char c = (*line)[i];
        if (c == '=' || c == ',' || c == '\'' || c == '"')
            (*line)[i] = ' ';
    }
}

void apply_key_line(control_settings* cs, std::string line) {
    blank_separators(&line);
    std::vector<std::string> words;
    split_words(line, &words, 2);
    if (words.size() < 2) {
        std::printf("CAUTION: Malformed line in NAMELIST IGNORED: \"%s\"\n", line.c_str());
        return;
    }
    // A NUL byte would cut the key or value short unseen: refuse the line.
    if (holds_nul(words[0]) || holds_nul(words[1])) {
        std::string ukey = upper_copy(words[0]);
        print_err_nl(ukey.c_str(), words[1].c_str());
    }
    namelist_line(cs, words[0].c_str(), words[1].c_str());
}

// Reads the settings section of an open namelist file into the record.
void read_settings_section(control_settings* cs, FILE* f, const char* name) {
    std::string line;
    bool any_word_line = false;
    bool started = false;
    while (!started && read_line(f, &line)) {
        std::string word = first_word(line);
        if (word.empty())
            continue;
        any_word_line = true;
        started = is_marker(word, "&STACKLE");
    }
    if (!started) {
        if (any_word_line) {
            std::printf("CAUTION: MISTAKE IN NAMELIST, %s -- \"&STACKLE\" not found.\n", name);
            std::printf("         IGNORING NAMELIST. \n\n");
        }
        return;
    }
    any_word_line = false;
    while (read_line(f, &line)) {
        std::string word = first_word(line);
        if (word.empty())
            continue;
        any_word_line = true;
        if (is_marker(word, "&END"))
            return;
        if (word[0] != '#')
            apply_key_line(cs, line);
    }
    if (any_word_line) {
        std::printf("CAUTION: MISTAKE IN NAMELIST, %s -- \"&END\" not found.\n", name);
        std::printf("         IGNORING LACK OF \"&END\". \n\n");
    }
}

// ------------------------------------------------------------------------
// Selection.
// ------------------------------------------------------------------------

// Three-way partition of work[lo, hi) around `pivot`: on return [lo, *lt)
// holds the smaller values, [*lt, *gt) the equal ones (and values that
// compare neither way), [*gt, hi) the larger ones.
void partition3(data_struct* work, int lo, int hi, float pivot, int* lt, int* gt) {
    int i = lo;
    int l = lo;
    int g = hi;
    while (i < g) {
        float v = work[i].value;
        if (v < pivot) {
            std::swap(work[i], work[l]);
            ++l;
            ++i;
        } else if (v > pivot) {
            --g;
            std::swap(work[i], work[g]);
        } else {
            ++i;
        }
    }
    *lt = l;
    *gt = g;
}

} // namespace

// ========================================================================
// Banners and error exits.
// ========================================================================

void ack_program_init(const char* progname) {
    print_banner(progname, "BEGUN", "Processed at: ");
}

void ack_program_complete(const char* progname) {
    print_banner(progname, "COMPLETED", "Processing COMPLETED at: ");
}

void error_and_exit(const char* progname, const char* reason) {
    std::printf("\aERROR in program %s:  %s.\n\n", progname, reason);
    std::exit(STACKLE_FAIL);
}

void malloc_failed(const char* array_name) {
    std::printf("\aERROR: Can't allocate required memory for %s\n", array_name);
    std::exit(STACKLE_FAIL);
}

void print_err_cmd(int position, const char* text) {
    std::printf("\aERROR in processing command line at argument #%1d: \"%s\"\n", position, text);
    std::exit(STACKLE_FAIL);
}

void print_err_nl(const char* key, const char* value) {
    std::printf("\aERROR in processing namelist file: PARAM=<%s> VAL=<%s>\n", key, value);
    std::exit(STACKLE_FAIL);
}

bool stackle_plane_pixels(int xdim, int ydim, size_t elem_size, size_t* npix) {
    if (xdim <= 0 || ydim <= 0 || elem_size == 0)
        return false;
    size_t x = static_cast<size_t>(xdim);
    size_t y = static_cast<size_t>(ydim);
    if (x > SIZE_MAX / y || x * y > SIZE_MAX / elem_size)
        return false;
    *npix = x * y;
    return true;
}

// ========================================================================
// Settings.
// ========================================================================

void clear_cs_flags(control_settings* cs) {
    std::memset(cs, 0, sizeof *cs);
    cs->debug = 0;
    cs->verbose = 0;
    cs->num_fovs = -1;
}

void str2uc(char* text) {
    if (text == nullptr)
        return;
    for (char* p = text; *p != '\0'; ++p)
        if (*p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - 'a' + 'A');
}

control_settings process_cmd_args(int argc, char** argv) {
    control_settings cs;
    clear_cs_flags(&cs);
    copy_text(cs.progname, argc > 0 ? argv[0] : "stackle");
    if (argc <= 1) {
        print_usage(&cs);
        std::exit(0);
    }
    process_namelist(&cs, argc, argv);
    int i = 1;
    while (i < argc) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            std::printf("\a\n*** NOTE:  Unexpected parameter #%1d: \"%s\" IGNORED.\n\n", i, arg);
            ++i;
            continue;
        }
        const char* name = arg + 1;
        if (std::strcmp(name, "HELP") == 0 || std::strcmp(name, "Help") == 0 ||
            std::strcmp(name, "help") == 0) {
            detailed_help();
            std::exit(0);
        }
        if (std::strcmp(name, "n") == 0) {
            i += 2; // read before the walk
            continue;
        }
        const setting_def* def = find_switch(name);
        if (def == nullptr) {
            std::printf("\nWARNING: Unknown switch %1d: \"%s\" IGNORED.\n\n", i, arg);
            ++i;
            continue;
        }
        if (def->cmd_no_value) {
            set_switch_on(&cs, *def);
            ++i;
            continue;
        }
        if (i + 1 >= argc || !assign_setting(&cs, *def, argv[i + 1]))
            print_err_cmd(i, arg);
        i += 2;
    }
    return cs;
}

void complete_settings(control_settings* cs) {
    if (cs->debug) {
        std::printf("BEFORE DEFAULTS HAVE BEEN SET:\n");
        print_args(cs);
    }
    if (!cs->wts_out_file_f) {
        copy_text(cs->wts_out_file, DEFAULT_WTS_FILE);
        cs->wts_out_file_f = 1;
    }
    if (!cs->cut_frac_f) {
        cs->cut_frac = DEFAULT_CUT_FRAC;
        cs->cut_frac_f = 1;
    }
    if (!cs->cut_multiple_f) {
        cs->cut_multiple = DEFAULT_CUT_MULTIPLE;
        cs->cut_multiple_f = 1;
    }
    if (!cs->amask_min_good_f) {
        cs->amask_min_good = DEFAULT_AMASK_MIN_GOOD;
        cs->amask_min_good_f = 1;
    }
    if (!cs->lists_in_nlfile_f) {
        cs->lists_in_nlfile = 0;
        cs->lists_in_nlfile_f = 1;
    }
    if (!cs->file1_header_prop_f) {
        cs->file1_header_prop = 0;
        cs->file1_header_prop_f = 1;
    }
    if (!cs->use_weights_f) {
        cs->use_weights = cs->fmask_in_file_f ? 1 : 0;
        cs->use_weights_f = 1;
    }
    if (cs->use_weights && !cs->fmask_in_file_f) {
        std::printf("\aERROR:  Cannot set -wt to 1 without specifying an FMASK file with -fm\n");
        std::exit(STACKLE_FAIL);
    }
    if (cs->verbose) {
        std::printf("AFTER DEFAULTS HAVE BEEN SET:\n");
        print_args(cs);
    }
    if (!cs->data_in_lfile_f && !cs->lists_in_nlfile)
        error_and_exit(cs->progname, "no input FITS data file list specified (-di)");
    if (!cs->data_out_file_f)
        error_and_exit(cs->progname, "no output FITS data file specified (-do)");
}

void choose_list_sources(const control_settings* cs, list_sources* src) {
    std::memset(src, 0, sizeof *src);
    if (cs->lists_in_nlfile) {
        const char* nl = cs->namelist_f ? cs->namelist : "";
        copy_text(src->data, nl);
        copy_text(src->sdev, nl);
        copy_text(src->bmask, nl);
        copy_text(src->pmask, nl);
        src->nl_mode = 1;
        src->sdev_found = 1;
        src->bmask_found = 1;
        src->pmask_found = 1;
        return;
    }
    copy_text(src->data, cs->data_in_lfile);
    copy_text(src->sdev, cs->sdev_in_lfile);
    copy_text(src->bmask, cs->bmask_in_lfile);
    copy_text(src->pmask, cs->pmask_in_lfile);
}

void print_args(const control_settings* cs) {
    print_rule(62);
    std::printf("        LIST OF COMMAND-LINE ARGUMENTS AND DEFAULTS:\n\n\n");
    std::printf("========== GENERAL STUFF =================\n\n");
    std::printf("  (-%s)   DEBUG   mode      %s\n", "D", cs->debug ? "ON" : "OFF");
    std::printf("  (-%s)   VERBOSE mode      %s\n", "V", cs->verbose ? "ON" : "OFF");
    std::printf("         progname        = \"%s\"\n", cs->progname);
    if (cs->namelist_f)
        std::printf("         namelist        = \"%s\"\n", cs->namelist);
    else
        std::printf("         namelist          NOT DEFINED. \n");
    std::printf("\n========== INPUT & OUPTUT FILES ==========\n\n");
    print_word_arg("ls", "lists_in_nlfile", cs->lists_in_nlfile ? "TRUE" : "FALSE",
                   cs->lists_in_nlfile_f);
    print_file_arg("di", "data_in_lfile", cs->data_in_lfile, cs->data_in_lfile_f);
    print_file_arg("do", "data_out_file", cs->data_out_file, cs->data_out_file_f);
    print_file_arg("si", "sdev_in_lfile", cs->sdev_in_lfile, cs->sdev_in_lfile_f);
    print_file_arg("so", "sdev_out_file", cs->sdev_out_file, cs->sdev_out_file_f);
    print_file_arg("fm", "fmask_in_file", cs->fmask_in_file, cs->fmask_in_file_f);
    print_file_arg("bm", "bmask_in_lfile", cs->bmask_in_lfile, cs->bmask_in_lfile_f);
    print_file_arg("pm", "pmask_in_lfile", cs->pmask_in_lfile, cs->pmask_in_lfile_f);
    print_file_arg("am", "amask_out_file", cs->amask_out_file, cs->amask_out_file_f);
    print_file_arg("wo", "wts_out_file", cs->wts_out_file, cs->wts_out_file_f);
    std::printf("\n========== GENERAL SWITCHES ==============\n\n");
    print_int_arg("bp", "bpass", cs->bpass, cs->bpass_f);
    print_int_arg("bf", "bfatal", cs->bfatal, cs->bfatal_f);
    print_int_arg("pf", "pfatal", cs->pfatal, cs->pfatal_f);
    print_word_arg("wt", "use_weights", cs->use_weights ? "YES" : "NO", cs->use_weights_f);
    print_float_arg("cf", "cut_frac", cs->cut_frac, cs->cut_frac_f);
    print_float_arg("cm", "cut_multiple", cs->cut_multiple, cs->cut_multiple_f);
    print_int_arg("ag", "amask_min_good", cs->amask_min_good, cs->amask_min_good_f);
    print_rule(65);
    std::printf("\n");
}

void print_usage(const control_settings* cs) {
    static const char* const files[] = {
        "",
        "========== INPUT FILES ==========",
        "",
        "  -di DATA_FILES.list   Req* List of 2D FITS data files",
        "  -si SDEV_FILES.list   Opt  List of 2d FITS sdev files",
        "                             (these files are unused at present)",
        "  -fm FMASK.fits        Opt  FMASK (the FOV Mask) FITS file",
        "  -bm BMASK_FILES.list  Opt  List of BMASKs for DATA_FILES",
        "  -pm PMASK_FILES.list  Opt  List of PMASKs for DATA_FILES",
        "",
        "========== OUTPUT FILES ==========",
        "",
        "  -do RESULT.fits       Req  Coadded 2d FITS data result",
        "  -so SDEV.fits         Opt  SDEV of 2d FITS data result",
        "  -am AMASK.fits        Opt  Resulting AMASK",
        "  -wo WEIGHTS.txt       Opt  ASCII file of weights & (di) filenames",
    };
    static const char* const switches[] = {
        "",
        "========== GENERAL SWITCHES ==========",
        "",
        "  -n  NAMELIST          Opt  A Namelist File",
        "  -ls <0 or 1>          Opt  Input files lists are in namelist",
        "                             (not in separate files)",
        "  -wt <0 or 1>          Opt  Calculate weighted statistics?",
        "                             Default = 0 if no FMASK file, else 1",
        "  -h1                   Opt  Propagate *all* the headers from",
        "                             the first file in DATA_FILES (-di)",
        "",
        "========== PARAMETERS ==========",
        "",
        "  -bf BMASK_FATAL_BITS  Opt  BMASK fatal bits template (Int)",
        "                       (Req  if -bm is specified)",
        "  -pf BMASK_FATAL_BITS  Opt  PMASK fatal bits template (Int)",
        "                       (Req  if -bm is specified)",
        "  -ag AMASK_MIN_GOOD    Opt  AMASK marks pixels with fewer data",
    };
    static const char* const tail[] = {
        "",
        "========== HELP AND DEBUGGING ==========",
        "",
        "  -V                    Opt  Verbose mode: more functional info",
        "  -D                    Opt  Debugging mode: adds debugging data",
        "  -HELP                 Opt  Print out an example NAMELIST file",
        "",
        "========== FOOTNOTES ==========",
        ".list => Text file containing list of FITS files",
        ".fits => 2D FITS file",
        "Req*  => Required, unless -ls is 1",
        "         Must have either -ls or [-di -si -bm -pm]",
        "",
    };
    char line[160];
    std::printf("\n");
    std::printf("STACKLE MODULE \"%s\"  VERSION = %g\n", cs->progname, STACKLE_VERSION);
    std::printf("\n");
    std::printf("USAGE:  %s -di DATA_FILES.list -do RESULT.fits \n", cs->progname);
    padded_lines(67, files, sizeof files / sizeof files[0]);
    std::printf("                             DEFAULT: \"%s\" \n", DEFAULT_WTS_FILE);
    padded_lines(67, switches, sizeof switches / sizeof switches[0]);
    std::snprintf(line, sizeof line,
                  "                             points than this value.  DEFAULT=%1d  ",
                  DEFAULT_AMASK_MIN_GOOD);
    padded(67, line);
    padded(67, "");
    padded(67, "  -cf CUT_FRAC          Opt  Cut at most cut_frac of the data (Flt)");
    std::snprintf(line, sizeof line,
                  "                             DEFAULT=%3.1f  (0 => DO NO TRIMMING)  ",
                  static_cast<double>(DEFAULT_CUT_FRAC));
    padded(67, line);
    padded(67, "  -cm CUT_MULTIPLE      Opt  Cut above Multiple of MedAbsDev (Flt) ");
    std::snprintf(line, sizeof line, "                             DEFAULT=%3.1f",
                  static_cast<double>(DEFAULT_CUT_MULTIPLE));
    padded(67, line);
    padded_lines(67, tail, sizeof tail / sizeof tail[0]);
}

void detailed_help() {
    static const char* const intro[] = {
        "This is a Sample NAMELIST file for the stackle program.",
        "",
        "      Command-line form of the stuff below is:",
        "",
        "      stackle -di t1_data_in.list   -do t1_data_out.fits",
        "              -so t1_sdev_out.fits  -am t1_amask_out.fits",
        "              -bm t1_bmask_in.list  -pm t1_pmask_in.list",
        "              -fm b0_fmask.fits     -wo t1_weights.list",
        "              -bf 128  -pf 64",
        "              -ag 5  -h1 1  -wt 1  -cb 2.5  -ct 3.5",
        "              -V  -D",
        "",
        "&STACKLE - - - - - - - - - - - - - - - - - - - - - - - - - - -",
        "",
        "   #================= INPUT & OUTPUT FILES ===============",
    };
    static const char* const file_keys[][2] = {
        {"    STK_ls = 1", "LISTS_IN_NLFILE"},
        {"    STK_di = t1_data_in.list", "DATA_IN_LFILE"},
        {"    STK_do = t1_data_out.fits", "DATA_OUT_FILE"},
        {"   #STK_si =", "SDEV_IN_LFILE"},
        {"    STK_so = t1_sdev_out.fits", "SDEV_OUT_FILE"},
        {"    STK_fm = b0_fmask.fits", "FMASK_IN_FILE"},
        {"    STK_bm = t1_bmask_in.list", "BMASK_IN_LFILE"},
        {"    STK_pm = t1_pmask_in.list", "PMASK_IN_LFILE"},
        {"    STK_am = t1_amask_out.fits", "AMASK_OUT_FILE"},
        {"    STK_wo = t1_weights.list", "WTS_OUT_FILE"},
    };
    static const char* const param_keys[][2] = {
        {"    STK_bp =    0", "BPASS"},
        {"    STK_bf =  128", "BFATAL"},
        {"    STK_pf =   64", "PFATAL"},
        {"    STK_ag =    5", "AMASK_MIN_GOOD"},
        {"    STK_h1 =    1", "FILE1_HEADER_PROP"},
        {"    STK_wt =    1", "USE_WEIGHTS"},
        {"    STK_cf =    0.25", "CUT_FRAC"},
        {"    STK_cm =    6.0", "CUT_MULTIPLE"},
    };
    std::printf("\n");
    padded_lines(64, intro, sizeof intro / sizeof intro[0]);
    for (const auto& k : file_keys)
        sample_key(k[0], k[1]);
    padded(64, "");
    padded(64, "   #================ GENERAL PARAMETERS ==================");
    for (const auto& k : param_keys)
        sample_key(k[0], k[1]);
    padded(64, "");
    padded(64, "   #================= HELP AND DEBUGGING =================");
    sample_key("    STK_V  =    1", "VERBOSE");
    sample_key("    STK_D  =    1", "DEBUG");
    padded(64, "");
    padded(64, "&END");
    padded(64, "");
    sample_list("&COADD_DATA  - - - - - - - - - - - - - - - - - - - - - - - - -", 'd');
    sample_list("&COADD_SDEV  - - - - - - - - - - - - - - - - - - - - - - - - -", 's');
    sample_list("&COADD_BMASK  - - - - - - - - - - - - - - - - - - - - - - - - - ", 'b');
    sample_list("&COADD_PMASK  - - - - - - - - - - - - - - - - - - - - - - - - - ", 'p');
}

// ========================================================================
// Namelist and file lists.
// ========================================================================

void process_namelist(control_settings* cs, int argc, char** argv) {
    int at = -1;
    for (int i = 1; i < argc - 1 && at < 0; ++i)
        if (std::strcmp(argv[i], "-n") == 0)
            at = i + 1;
    if (at < 0)
        return;
    const char* name = argv[at];
    if (std::strlen(name) >= static_cast<size_t>(STACKLE_STRLEN))
        print_err_cmd(at - 1, argv[at - 1]);
    FILE* f = open_text_file(name);
    if (f == nullptr) {
        print_open_error("NAMELIST", name, "process_namelist");
        std::exit(STACKLE_FAIL);
    }
    copy_text(cs->namelist, name);
    cs->namelist_f = 1;
    read_settings_section(cs, f, name);
    std::fclose(f);
}

void namelist_line(control_settings* cs, const char* key, const char* value) {
    std::string ukey = upper_copy(key);
    size_t key_len = std::strlen(key);
    const char* short_form = key_len >= 4 ? key + 4 : nullptr;
    for (const setting_def& def : SETTINGS) {
        bool hit = (short_form != nullptr && std::strcmp(short_form, def.short_name) == 0) ||
                   ukey == def.long_name;
        if (!hit)
            continue;
        if (!assign_setting(cs, def, value))
            print_err_nl(ukey.c_str(), value);
        return;
    }
    std::printf("\nWARNING: Unknown switch \"%s\" IGNORED in namelist file.\n\n", ukey.c_str());
}

int count_filenames(const char* source, unsigned char nl_mode, const char* start_marker,
                    const char* end_marker, char* first_name) {
    list_walk w{source,  nl_mode, start_marker, end_marker, "count_filenames", "MISKAKE",
                nullptr, 0,       first_name};
    if (first_name != nullptr)
        first_name[0] = '\0';
    int found = 0;
    run_list_walk(w, &found);
    return found;
}

void read_filenames(const char* source, unsigned char nl_mode, char (*names)[STACKLE_STRLEN],
                    int expected, const char* start_marker, const char* end_marker) {
    for (int i = 0; i < expected; ++i)
        names[i][0] = '\0';
    list_walk w{source,    nl_mode, start_marker, end_marker, "read_filenames",
                "MISTAKE", names,   expected,     nullptr};
    int found = 0;
    walk_end how = run_list_walk(w, &found);
    if (how == walk_end::no_start_marker || (nl_mode && how == walk_end::end_of_file))
        return;
    if (found != expected)
        std::printf("\aWARNING:  FILELIST %s has %0d filenames, but should have %0d\n", source,
                    found, expected);
}

void find_markers(const char* namelist, unsigned char* sdev_found, unsigned char* bmask_found,
                  unsigned char* pmask_found) {
    FILE* f = open_text_file(namelist);
    if (f == nullptr) {
        print_open_error("NAMELIST", namelist, "find_markers");
        std::exit(STACKLE_FAIL);
    }
    *sdev_found = 0;
    *bmask_found = 0;
    *pmask_found = 0;
    std::string line;
    while (read_line(f, &line)) {
        std::string word = first_word(line);
        if (is_marker(word, "&COADD_SDEV"))
            *sdev_found = 1;
        else if (is_marker(word, "&COADD_BMASK"))
            *bmask_found = 1;
        else if (is_marker(word, "&COADD_PMASK"))
            *pmask_found = 1;
    }
    std::fclose(f);
}

// ========================================================================
// Robust pixel statistics.
// ========================================================================

// Batcher's odd-even merge network for n rows: writes its compare-exchange
// pairs (lower row first) into `pairs` when not null; returns their number.
static constexpr int odd_even_network(int n, int* pairs) {
    int size = 0;
    for (int p = 1; p < n; p <<= 1)
        for (int k = p; k >= 1; k >>= 1)
            for (int j = k % p; j + k < n; j += 2 * k)
                for (int i = 0; i < std::min(k, n - j - k); ++i)
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) {
                        if (pairs != nullptr) {
                            pairs[2 * size] = i + j;
                            pairs[2 * size + 1] = i + j + k;
                        }
                        ++size;
                    }
    return size;
}

bool stats_scratch_init(stats_scratch* s, int n) {
    *s = stats_scratch{};
    size_t count = n > 0 ? static_cast<size_t>(n) : 1;
    s->select = static_cast<data_struct*>(std::malloc(count * sizeof(data_struct)));
    s->devs = static_cast<data_struct*>(std::malloc(count * sizeof(data_struct)));
    s->sorted = static_cast<float*>(std::malloc(count * sizeof(float)));
    s->values = static_cast<float*>(std::malloc(count * sizeof(float)));
    s->dces = static_cast<int*>(std::malloc(count * sizeof(int)));
    bool ok = s->select != nullptr && s->devs != nullptr && s->sorted != nullptr &&
              s->values != nullptr && s->dces != nullptr;
    if (ok && count <= static_cast<size_t>(STACKLE_NETWORK_MAX)) {
        int size = odd_even_network(static_cast<int>(count), nullptr);
        // Zeroed: the rows past the last block's pixels are sorted too.
        s->tile = static_cast<float*>(std::calloc(count * STACKLE_BLOCK, sizeof(float)));
        s->network =
            static_cast<int*>(std::malloc((2 * static_cast<size_t>(size) + 1) * sizeof(int)));
        ok = s->tile != nullptr && s->network != nullptr;
        if (ok)
            s->network_size = odd_even_network(static_cast<int>(count), s->network);
    }
    if (!ok) {
        stats_scratch_free(s);
        return false;
    }
    s->capacity = static_cast<int>(count);
    return true;
}

void stats_scratch_free(stats_scratch* s) {
    std::free(s->select);
    std::free(s->devs);
    std::free(s->sorted);
    std::free(s->values);
    std::free(s->dces);
    std::free(s->tile);
    std::free(s->network);
    *s = stats_scratch{};
}

data_struct quickselect(const data_struct* column, int n, int k, data_struct* scratch) {
    std::memcpy(scratch, column, static_cast<size_t>(n) * sizeof(data_struct));
    int lo = 0;
    int hi = n;
    int want = k - 1; // position in sorted order, from 0
    for (;;) {
        data_struct pivot = scratch[lo + (hi - lo) / 2];
        int lt = 0;
        int gt = 0;
        partition3(scratch, lo, hi, pivot.value, &lt, &gt);
        if (want < lt)
            hi = lt;
        else if (want >= gt)
            lo = gt;
        else
            return pivot;
    }
}

float column_median(const data_struct* column, int n, data_struct* scratch) {
    if (n % 2 == 1)
        return quickselect(column, n, (n + 1) / 2, scratch).value;
    float a = quickselect(column, n, n / 2, scratch).value;
    float b = quickselect(column, n, n / 2 + 1, scratch).value;
    return (a + b) * 0.5f;
}

// How many values a column of `count` may lose: none for 3 values or fewer or
// when count x cut_frac is below 1 (or NaN); never more than the column holds.
static int trim_limit(int count, const control_settings* cs) {
    if (count <= 3)
        return 0;
    float product = static_cast<float>(count) * cs->cut_frac;
    if (!(product >= 1.0f))
        return 0;
    return product >= static_cast<float>(count) ? count : static_cast<int>(product);
}

void asymmetric_trimming(data_struct* column, int* n, const control_settings* cs,
                         stats_scratch* scratch) {
    int count = *n;
    int max_cut = trim_limit(count, cs);
    for (int iter = 0; iter < max_cut && count > 0; ++iter) {
        float median = column_median(column, count, scratch->select);
        float d_max = -1.0f;
        int at = 0;
        for (int i = 0; i < count; ++i) {
            float d = std::fabs(column[i].value - median);
            scratch->devs[i] = column[i];
            scratch->devs[i].value = d;
            if (d > d_max) {
                d_max = d;
                at = i;
            }
        }
        float mad = column_median(scratch->devs, count, scratch->select);
        if (d_max < cs->cut_multiple * mad)
            break;
        std::memmove(column + at, column + at + 1,
                     static_cast<size_t>(count - at - 1) * sizeof(data_struct));
        --count;
    }
    *n = count;
}

void calc_weighted_stats(const data_struct* column, int first, int count, float* mean) {
    double sum_w = 0.0;
    double sum_wx = 0.0;
    for (int i = first; i < first + count; ++i) {
        double w = static_cast<double>(column[i].weight);
        sum_w += w;
        sum_wx += w * static_cast<double>(column[i].value);
    }
    *mean = static_cast<float>(sum_wx / sum_w);
}

// Ascending order of finite values: insertion for short columns.
static void sort_values(float* v, int count) {
    if (count > 32) {
        std::sort(v, v + count);
        return;
    }
    for (int i = 1; i < count; ++i) {
        float x = v[i];
        int j = i;
        for (; j > 0 && v[j - 1] > x; --j)
            v[j] = v[j - 1];
        v[j] = x;
    }
}

// Median of count >= 1 sorted values, as column_median forms it.
static float sorted_median(const float* sorted, int count) {
    if (count % 2 == 1)
        return sorted[count / 2];
    return (sorted[count / 2 - 1] + sorted[count / 2]) * 0.5f;
}

static inline float larger(float a, float b) {
    return a > b ? a : b;
}

static inline float smaller(float a, float b) {
    return a < b ? a : b;
}

// The k-th smallest (k from 1) of the deviations |sorted[i] - median| of count
// ascending values. Rounding keeps order, so along the sorted values the deviations
// fall and then rise: the k nearest values form a run of k neighbours, the largest
// deviation of any run of k lies at one of its ends, and the k-th smallest deviation
// is the least, over all runs of k, of the larger deviation of the run's two ends.
// The deviations are numbers of one sign, so the least is the same in any order.
static float kth_deviation(const float* sorted, int count, float median, int k) {
    const float* last = sorted + (k - 1);
    int runs = count - k + 1;
    int a = 0;
    float least = larger(std::fabs(sorted[0] - median), std::fabs(last[0] - median));
#if defined(__SSE__)
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128 m = _mm_set1_ps(median);
    __m128 low = _mm_set1_ps(least);
    for (; a + 4 <= runs; a += 4) {
        __m128 d0 = _mm_andnot_ps(sign, _mm_sub_ps(_mm_loadu_ps(sorted + a), m));
        __m128 d1 = _mm_andnot_ps(sign, _mm_sub_ps(_mm_loadu_ps(last + a), m));
        low = _mm_min_ps(low, _mm_max_ps(d0, d1));
    }
    float lanes[4];
    _mm_storeu_ps(lanes, low);
    for (float lane : lanes)
        least = smaller(least, lane);
#endif
    for (; a < runs; ++a)
        least = smaller(least, larger(std::fabs(sorted[a] - median), std::fabs(last[a] - median)));
    return least;
}

// Median of the deviations |sorted[i] - median|, as column_median forms it.
static float sorted_mad(const float* sorted, int count, float median) {
    float upper = kth_deviation(sorted, count, median, count / 2 + 1);
    if (count % 2 == 1)
        return upper;
    return (kth_deviation(sorted, count, median, count / 2) + upper) * 0.5f;
}

// Index of the first of `count` values, in DCE order, whose deviation from the
// median is d_max; one of them has it. NaN values never match.
static int first_deviating(const float* values, int count, float median, float d_max) {
    int at = 0;
#if defined(__SSE2__)
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128 m = _mm_set1_ps(median);
    const __m128 target = _mm_set1_ps(d_max);
    for (; at + 4 <= count; at += 4) {
        __m128 d = _mm_andnot_ps(sign, _mm_sub_ps(_mm_loadu_ps(values + at), m));
        int hits = _mm_movemask_ps(_mm_cmpeq_ps(d, target));
        if (hits != 0)
            return at + __builtin_ctz(static_cast<unsigned>(hits));
    }
#endif
    while (std::fabs(values[at] - median) != d_max)
        ++at;
    return at;
}

// Removes one value equal to x from the sorted values.
static void remove_sorted(float* sorted, int count, float x) {
    int at = static_cast<int>(std::lower_bound(sorted, sorted + count, x) - sorted);
    std::memmove(sorted + at, sorted + at + 1, static_cast<size_t>(count - at - 1) * sizeof(float));
}

// The trimming steps of a finite column whose values `sorted` holds in
// ascending order; at most max_cut of them. The values left in order are a run
// of `sorted`, [lo, hi): the value removed deviates the most, so it is mostly
// the smallest (the run's start moves) or else taken out of the run. Each
// removed value is marked NaN in `values` (which no deviation then equals) and
// its index goes to `removed` unless it is null, in the order of removal.
// Returns the number removed.
static int trim_sorted_column(float* values, int count, int max_cut, const control_settings* cs,
                              float* sorted, int* removed) {
    int lo = 0;
    int hi = count;
    int iter = 0;
    for (; iter < max_cut && hi > lo; ++iter) {
        const float* left = sorted + lo;
        const int n = hi - lo;
        float median = sorted_median(left, n);
        float d_max = larger(std::fabs(left[0] - median), std::fabs(left[n - 1] - median));
        if (d_max < cs->cut_multiple * sorted_mad(left, n, median))
            break;
        int at = first_deviating(values, count, median, d_max);
        if (values[at] == left[0]) {
            ++lo;
        } else { // mostly the largest; rounding can give an inner value the same deviation
            remove_sorted(sorted + lo, n, values[at]);
            --hi;
        }
        values[at] = std::numeric_limits<float>::quiet_NaN();
        if (removed != nullptr)
            removed[iter] = at;
    }
    return iter;
}

int trim_finite_column(float* values, int* dces, int count, const control_settings* cs,
                       float* sorted) {
    int max_cut = trim_limit(count, cs);
    if (max_cut == 0)
        return count;
    std::memcpy(sorted, values, static_cast<size_t>(count) * sizeof(float));
    sort_values(sorted, count);
    if (trim_sorted_column(values, count, max_cut, cs, sorted, nullptr) == 0)
        return count;
    int kept = 0; // the survivors, packed in order: the values not marked NaN
    for (int i = 0; i < count; ++i) {
        if (!stackle_isnan(values[i])) {
            values[kept] = values[i];
            dces[kept] = dces[i];
            ++kept;
        }
    }
    return kept;
}

// ========================================================================
// Per-pixel passes.
// ========================================================================

int16_t amask_value(int good, int bmask_or, const control_settings* cs) {
    if (good == 0)
        return 0x3000;
    int bits = good < cs->amask_min_good ? 0x1000 : 0;
    if (cs->bpass_f)
        bits |= bmask_or & cs->bpass;
    return static_cast<int16_t>(bits);
}

// A pixel is in the weighting FOV when its FMASK value shares a bit with
// bit_for_wts; -1 (no FOV bit known) admits every pixel with any FMASK bit.
static inline bool in_weighting_fov(const int16_t* fmask, size_t p, const control_settings* cs) {
    return (fmask[p] & cs->bit_for_wts) != 0;
}

// Pixels of a plane that are not NaN, counted without a branch on the data.
static long count_numbers(const float* data, size_t npix) {
    long good = 0;
    for (size_t p = 0; p < npix; ++p) {
        uint32_t bits;
        std::memcpy(&bits, &data[p], sizeof bits);
        good += (bits & 0x7FFFFFFFu) <= 0x7F800000u;
    }
    return good;
}

// One DCE of the masking pass; returns its count of good pixels.
static long mask_one_dce(float* data, const int16_t* bmask, const int16_t* pmask,
                         const int16_t* fmask, size_t npix, const control_settings* cs,
                         float nan_value) {
    if (bmask == nullptr && pmask == nullptr && fmask == nullptr)
        return count_numbers(data, npix); // nothing to mask: only the count
    long good = 0;
    for (size_t p = 0; p < npix; ++p) {
        if (stackle_isnan(data[p]))
            continue;
        if ((bmask != nullptr && (bmask[p] & cs->bfatal) != 0) ||
            (pmask != nullptr && (pmask[p] & cs->pfatal) != 0)) {
            data[p] = nan_value;
            continue;
        }
        if (fmask != nullptr && !in_weighting_fov(fmask, p, cs))
            continue; // kept for the co-addition, but not counted
        ++good;
    }
    return good;
}

void masking_pass(const stack_view* stack, const control_settings* cs, long* dce_num_good,
                  float nan_value) {
    const int16_t* fov = cs->use_weights ? stack->fmask : nullptr;
    for (int i = 0; i < stack->n; ++i) {
        const int16_t* bmask = stack->bmask != nullptr ? stack->bmask[i] : nullptr;
        const int16_t* pmask = stack->pmask != nullptr ? stack->pmask[i] : nullptr;
        dce_num_good[i] =
            mask_one_dce(stack->data[i], bmask, pmask, fov, stack->npix, cs, nan_value);
    }
}

bool weights_from_data(const stack_view* stack, const control_settings* cs) {
    return cs->use_weights && stack->fmask != nullptr;
}

void add_weight_sums(const stack_view* stack, const control_settings* cs, float* sums,
                     long* counts) {
    for (int i = 0; i < stack->n; ++i) {
        const float* data = stack->data[i];
        float sum = sums[i];
        long count = counts[i];
        for (size_t p = 0; p < stack->npix; ++p) {
            if (stackle_isnan(data[p]) || !in_weighting_fov(stack->fmask, p, cs))
                continue;
            sum += data[p];
            ++count;
        }
        sums[i] = sum;
        counts[i] = count;
    }
}

weight_outcome normalise_weights(int n, float* dce_weight) {
    float largest = static_cast<float>(-1e-42);
    for (int i = 0; i < n; ++i)
        if (dce_weight[i] > largest)
            largest = dce_weight[i];
    if (largest == 0.0f)
        return weights_all_zero;
    if (largest < 0.0f)
        return weights_max_negative;
    for (int i = 0; i < n; ++i)
        dce_weight[i] /= largest;
    return weights_normalised;
}

weight_outcome dce_weights(const stack_view* stack, const control_settings* cs, float* dce_weight,
                           long* dce_num_good) {
    if (!weights_from_data(stack, cs)) {
        for (int i = 0; i < stack->n; ++i)
            dce_weight[i] = 1.0f;
        return weights_all_one;
    }
    for (int i = 0; i < stack->n; ++i) {
        dce_weight[i] = 0.0f;
        dce_num_good[i] = 0;
    }
    add_weight_sums(stack, cs, dce_weight, dce_num_good);
    return normalise_weights(stack->n, dce_weight);
}

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

// Trims a column holding an infinity through asymmetric_trimming, whose
// selection order decides among the NaN deviations an infinite median makes.
static int trim_column_plain(float* values, int* dces, int count, const control_settings* cs,
                             data_struct* column, stats_scratch* scratch) {
    for (int i = 0; i < count; ++i)
        column[i] = data_struct{values[i], dces[i], 1.0f};
    asymmetric_trimming(column, &count, cs, scratch);
    for (int i = 0; i < count; ++i) {
        values[i] = column[i].value;
        dces[i] = column[i].dce;
    }
    return count;
}

// Trims pixel p's column: finite columns through trim_finite_column, others
// through asymmetric_trimming. A trimmed column is rewritten whole: NaN, then
// the survivors. Returns the number of values removed.
static size_t trim_pixel(const stack_view* stack, size_t p, const control_settings* cs,
                         data_struct* column, stats_scratch* scratch, float nan_value) {
    float* values = scratch->values;
    int* dces = scratch->dces;
    const int n = stack->n;
    int count = 0;
    bool has_inf = false;
    for (int j = 0; j < n; ++j) {
        float v = stack->data[j][p];
        if (stackle_isnan(v))
            continue;
        has_inf = has_inf || std::isinf(v);
        values[count] = v;
        dces[count] = j;
        ++count;
    }
    int kept = has_inf ? trim_column_plain(values, dces, count, cs, column, scratch)
                       : trim_finite_column(values, dces, count, cs, scratch->sorted);
    if (kept == count)
        return 0;
    for (int j = 0; j < n; ++j)
        stack->data[j][p] = nan_value;
    for (int i = 0; i < kept; ++i)
        stack->data[dces[i]][p] = values[i];
    return static_cast<size_t>(count - kept);
}

// Trims pixel p's column of n finite values whose ascending order is column b
// of the sorted tile. The survivors keep their values in the planes; only the
// values removed become NaN. Returns the number of values removed.
static size_t trim_sorted_pixel(const stack_view* stack, size_t p, int b,
                                const control_settings* cs, stats_scratch* scratch,
                                float nan_value) {
    float* values = scratch->values;
    const int n = stack->n;
    for (int j = 0; j < n; ++j) {
        values[j] = stack->data[j][p];
        scratch->sorted[j] = scratch->tile[static_cast<size_t>(j) * STACKLE_BLOCK + b];
    }
    int removed[STACKLE_NETWORK_MAX]; // the tile holds at most this many rows
    int gone = trim_sorted_column(values, n, trim_limit(n, cs), cs, scratch->sorted, removed);
    for (int i = 0; i < gone; ++i)
        stack->data[removed[i]][p] = nan_value; // the value of DCE removed[i]
    return static_cast<size_t>(gone);
}

// One compare-exchange of two rows of a tile, every column at once. The SSE
// minimum and maximum (part of every x86-64) are these same choices, four
// columns at a time: min(y, x) is y < x ? y : x and max(x, y) is y < x ? x : y.
static void compare_rows(float* lower, float* upper) {
#if defined(__SSE__)
    for (int b = 0; b < STACKLE_BLOCK; b += 4) {
        __m128 x = _mm_loadu_ps(lower + b);
        __m128 y = _mm_loadu_ps(upper + b);
        _mm_storeu_ps(lower + b, _mm_min_ps(y, x));
        _mm_storeu_ps(upper + b, _mm_max_ps(x, y));
    }
#else
    for (int b = 0; b < STACKLE_BLOCK; ++b) {
        float x = lower[b];
        float y = upper[b];
        lower[b] = y < x ? y : x;
        upper[b] = y < x ? x : y;
    }
#endif
}

static int simd_limit = stats_simd_avx512;

void stats_limit_simd(int level) {
    simd_limit = level;
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define STACKLE_AVX_TILES 1
// Several AVX-512 intrinsics of GCC 12 start from an undefined register, which
// its warnings take for an uninitialised variable: quiet around AVX-512 code.
#if defined(__clang__)
#define STACKLE_AVX512_QUIET_BEGIN
#define STACKLE_AVX512_QUIET_END
#else
#define STACKLE_AVX512_QUIET_BEGIN                                                                 \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")           \
        _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define STACKLE_AVX512_QUIET_END _Pragma("GCC diagnostic pop")
#endif
// The widest instruction set of the processor the passes use, under the limit.
static int simd_level() {
    static const int cpu = __builtin_cpu_supports("avx512f") ? stats_simd_avx512
                           : __builtin_cpu_supports("avx2")  ? stats_simd_avx2
                                                             : stats_simd_plain;
    return std::min(cpu, simd_limit);
}
// The network of sort_tile eight columns at a time, for processors with AVX (chosen
// at run time, so the program still runs on any x86-64). The AVX minimum and
// maximum make the same choices as the SSE ones lane by lane.
__attribute__((target("avx"))) static void sort_tile_avx(float* tile, const int* pairs, int size) {
    for (int c = 0; c < size; ++c) {
        float* lower = tile + static_cast<size_t>(pairs[2 * c]) * STACKLE_BLOCK;
        float* upper = tile + static_cast<size_t>(pairs[2 * c + 1]) * STACKLE_BLOCK;
        for (int b = 0; b < STACKLE_BLOCK; b += 8) {
            __m256 x = _mm256_loadu_ps(lower + b);
            __m256 y = _mm256_loadu_ps(upper + b);
            _mm256_storeu_ps(lower + b, _mm256_min_ps(y, x));
            _mm256_storeu_ps(upper + b, _mm256_max_ps(x, y));
        }
    }
}
#endif

#if defined(STACKLE_AVX_TILES)
// Largest number of rows sort_tile_registers sorts: the AVX-512 registers hold
// that many rows and the compare-exchange temporaries.
constexpr int kRegisterRows = 28;

// The compare-exchange pairs of odd_even_network for N rows, known when compiling.
template <int N> constexpr std::array<int, 2 * odd_even_network(N, nullptr)> network_pairs() {
    std::array<int, 2 * odd_even_network(N, nullptr)> pairs{};
    odd_even_network(N, pairs.data());
    return pairs;
}

STACKLE_AVX512_QUIET_BEGIN
// sort_tile for a tile of N rows on processors with AVX-512, sixteen columns at a
// time with every row in a register through the whole network.
template <int N> __attribute__((target("avx512f"))) void sort_tile_registers(float* tile) {
    static constexpr std::array<int, 2 * odd_even_network(N, nullptr)> pairs = network_pairs<N>();
    for (int b = 0; b < STACKLE_BLOCK; b += 16) {
        __m512 row[N];
#pragma GCC unroll 32
        for (int j = 0; j < N; ++j)
            row[j] = _mm512_loadu_ps(tile + static_cast<size_t>(j) * STACKLE_BLOCK + b);
#pragma GCC unroll 512
        for (size_t c = 0; c < pairs.size(); c += 2) {
            __m512 x = row[pairs[c]];
            __m512 y = row[pairs[c + 1]];
            row[pairs[c]] = _mm512_min_ps(y, x);
            row[pairs[c + 1]] = _mm512_max_ps(x, y);
        }
#pragma GCC unroll 32
        for (int j = 0; j < N; ++j)
            _mm512_storeu_ps(tile + static_cast<size_t>(j) * STACKLE_BLOCK + b, row[j]);
    }
}
STACKLE_AVX512_QUIET_END

typedef void (*tile_sorter)(float*);

// sort_tile_registers<1> .. sort_tile_registers<kRegisterRows>, by rows - 1.
template <size_t... I>
constexpr std::array<tile_sorter, sizeof...(I)> register_sorters(std::index_sequence<I...>) {
    return {&sort_tile_registers<static_cast<int>(I) + 1>...};
}

constexpr std::array<tile_sorter, kRegisterRows> kRegisterSorters =
    register_sorters(std::make_index_sequence<kRegisterRows>());
#endif

void sort_tile(float* tile, const stats_scratch* scratch) {
    const int* pairs = scratch->network;
#if defined(STACKLE_AVX_TILES)
    if (simd_level() == stats_simd_avx512 && scratch->capacity <= kRegisterRows) {
        kRegisterSorters[static_cast<size_t>(scratch->capacity) - 1](tile);
        return;
    }
    if (simd_level() >= stats_simd_avx2) {
        sort_tile_avx(tile, pairs, scratch->network_size);
        return;
    }
#endif
    for (int c = 0; c < scratch->network_size; ++c)
        compare_rows(tile + static_cast<size_t>(pairs[2 * c]) * STACKLE_BLOCK,
                     tile + static_cast<size_t>(pairs[2 * c + 1]) * STACKLE_BLOCK);
}

// Copies a run of `width` pixels into a tile row and marks, in `hits`, the pixels
// that are NaN or infinite (all exponent bits set) with all ones; one sweep.
static void copy_row(const float* __restrict src, float* __restrict row, int width,
                     uint32_t* __restrict hits) {
    for (int b = 0; b < width; ++b) {
        uint32_t bits;
        std::memcpy(&bits, &src[b], sizeof bits);
        row[b] = src[b];
        hits[b] |= (bits & 0x7F800000u) == 0x7F800000u ? ~0u : 0u;
    }
}

// Copies each plane's run of `width` pixels from p0 into its row of the tile
// and marks the pixels whose column holds a NaN or an infinity.
static void load_tile(const stack_view* stack, size_t p0, int width, float* tile,
                      unsigned char* special) {
    uint32_t hits[STACKLE_BLOCK] = {};
    for (int j = 0; j < stack->n; ++j)
        copy_row(stack->data[j] + p0, tile + static_cast<size_t>(j) * STACKLE_BLOCK, width, hits);
    for (int b = 0; b < width; ++b)
        special[b] = hits[b] != 0;
}

// Middle of each sorted column of a tile, as sorted_median forms it.
static void tile_middles(const float* tile, int n, float* middle) {
    const float* upper = tile + static_cast<size_t>(n / 2) * STACKLE_BLOCK;
    const float* lower = tile + static_cast<size_t>((n - 1) / 2) * STACKLE_BLOCK;
    for (int b = 0; b < STACKLE_BLOCK; ++b)
        middle[b] = n % 2 == 1 ? upper[b] : (lower[b] + upper[b]) * 0.5f;
}

// kth_deviation for every column of the sorted tile at once.
static void tile_kth_deviations(const float* tile, int n, const float* median, int k,
                                float* least) {
    for (int b = 0; b < STACKLE_BLOCK; ++b)
        least[b] = std::numeric_limits<float>::infinity();
    for (int a = 0; a + k <= n; ++a) {
        const float* first = tile + static_cast<size_t>(a) * STACKLE_BLOCK;
        const float* last = tile + static_cast<size_t>(a + k - 1) * STACKLE_BLOCK;
        for (int b = 0; b < STACKLE_BLOCK; ++b) {
            float d = larger(std::fabs(first[b] - median[b]), std::fabs(last[b] - median[b]));
            least[b] = smaller(least[b], d);
        }
    }
}

// Marks the columns of the sorted tile that the first trimming step leaves
// whole: their largest deviation from the median stays below cut_multiple x
// the median deviation. This is the test trim_finite_column makes first, with
// the median, the largest deviation and the median deviation taken from the
// sorted columns as the sorted trimming takes them; columns holding a NaN or an
// infinity get marks without meaning.
static void tile_keeps(const stats_scratch* scratch, int n, const control_settings* cs,
                       unsigned char* keep) {
    float median[STACKLE_BLOCK];
    float mad[STACKLE_BLOCK];
    float lower[STACKLE_BLOCK];
    const float* tile = scratch->tile;
    tile_middles(tile, n, median);
    tile_kth_deviations(tile, n, median, n / 2 + 1, mad);
    if (n % 2 == 0) {
        tile_kth_deviations(tile, n, median, n / 2, lower);
        for (int b = 0; b < STACKLE_BLOCK; ++b)
            mad[b] = (lower[b] + mad[b]) * 0.5f;
    }
    const float* low = tile;
    const float* high = tile + static_cast<size_t>(n - 1) * STACKLE_BLOCK;
    for (int b = 0; b < STACKLE_BLOCK; ++b) {
        float d_max = larger(std::fabs(low[b] - median[b]), std::fabs(high[b] - median[b]));
        keep[b] = d_max < cs->cut_multiple * mad[b];
    }
}

// Whether no column of the stack can lose a value.
static bool nothing_to_trim(const stack_view* stack, const control_settings* cs) {
    return !(cs->cut_frac > 0.0f) || trim_limit(stack->n, cs) == 0;
}

// Trims the `width` pixel columns from p0; returns the number of values removed.
static size_t trim_block(const stack_view* stack, const control_settings* cs, data_struct* column,
                         stats_scratch* scratch, size_t p0, int width, float nan_value) {
    size_t removed = 0;
    if (scratch->network_size == 0 || scratch->capacity != stack->n) {
        for (int b = 0; b < width; ++b)
            removed +=
                trim_pixel(stack, p0 + static_cast<size_t>(b), cs, column, scratch, nan_value);
        return removed;
    }
    unsigned char special[STACKLE_BLOCK];
    unsigned char keep[STACKLE_BLOCK];
    load_tile(stack, p0, width, scratch->tile, special);
    sort_tile(scratch->tile, scratch);
    tile_keeps(scratch, stack->n, cs, keep);
    // One bit for each column that needs trimming column by column, so that the
    // columns left whole cost no branch each.
    uint64_t todo[STACKLE_BLOCK / 64] = {};
    for (int b = 0; b < width; ++b)
        todo[b / 64] |= static_cast<uint64_t>((special[b] | (keep[b] ^ 1)) & 1) << (b % 64);
    for (int w = 0; w < STACKLE_BLOCK / 64; ++w) {
        for (uint64_t bits = todo[w]; bits != 0; bits &= bits - 1) {
            int b = w * 64 + __builtin_ctzll(bits);
            size_t p = p0 + static_cast<size_t>(b);
            removed += special[b] ? trim_pixel(stack, p, cs, column, scratch, nan_value)
                                  : trim_sorted_pixel(stack, p, b, cs, scratch, nan_value);
        }
    }
    return removed;
}

// Width of the block of pixels from p0.
static int block_width(const stack_view* stack, size_t p0) {
    return static_cast<int>(std::min<size_t>(STACKLE_BLOCK, stack->npix - p0));
}

size_t trimming_pass(const stack_view* stack, const control_settings* cs, data_struct* column,
                     stats_scratch* scratch, float nan_value) {
    if (nothing_to_trim(stack, cs))
        return 0;
    size_t removed = 0;
    for (size_t p0 = 0; p0 < stack->npix; p0 += STACKLE_BLOCK)
        removed += trim_block(stack, cs, column, scratch, p0, block_width(stack, p0), nan_value);
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

// Running sums of a block of pixels, in DCE order as calc_weighted_stats adds.
struct block_sums {
    double w[STACKLE_BLOCK];
    double wx[STACKLE_BLOCK];
    double sq[STACKLE_BLOCK];
    int good[STACKLE_BLOCK];
    int bmask_or[STACKLE_BLOCK];
};

// Adds DCE j's run of `width` pixels from p0 to the sums.
static void add_dce_run(const stack_view* stack, int j, double weight, size_t p0, int width,
                        block_sums* sums) {
    const float* data = stack->data[j] + p0;
    const float* sdev = stack->sdev != nullptr ? stack->sdev[j] + p0 : nullptr;
    const int16_t* bmask = stack->bmask != nullptr ? stack->bmask[j] + p0 : nullptr;
    for (int b = 0; b < width; ++b) {
        float v = data[b];
        if (stackle_isnan(v))
            continue;
        sums->w[b] += weight;
        sums->wx[b] += weight * static_cast<double>(v);
        ++sums->good[b];
        if (sdev != nullptr) {
            float sq = sdev[b] * sdev[b];
            sums->sq[b] += static_cast<double>(sq);
        }
        if (bmask != nullptr)
            sums->bmask_or[b] |= bmask[b];
    }
}

#if defined(STACKLE_AVX_TILES)
// The sums of add_dce_run for four pixels from p over every DCE, on processors with
// AVX2, chosen at run time. Each lane makes the scalar loop's operations in its order:
// the product and sums in double, the square in float, and a NaN value leaves every
// sum of its pixel as it was (a blend, not an added zero, so a -0.0 sum stays -0.0).
__attribute__((target("avx2"))) static void add_four_pixels(const stack_view* stack,
                                                            const float* dce_weight, size_t p,
                                                            int b, block_sums* sums) {
    __m256d w = _mm256_setzero_pd();
    __m256d wx = _mm256_setzero_pd();
    __m256d sq = _mm256_setzero_pd();
    __m128i good = _mm_setzero_si128();
    __m128i bmask_or = _mm_setzero_si128();
    for (int j = 0; j < stack->n; ++j) {
        __m128 v = _mm_loadu_ps(stack->data[j] + p);
        __m128 number = _mm_cmpord_ps(v, v);
        __m256d keep = _mm256_cmp_pd(_mm256_cvtps_pd(v), _mm256_cvtps_pd(v), _CMP_ORD_Q);
        __m256d weight = _mm256_set1_pd(static_cast<double>(dce_weight[j]));
        w = _mm256_blendv_pd(w, _mm256_add_pd(w, weight), keep);
        __m256d product = _mm256_mul_pd(weight, _mm256_cvtps_pd(v));
        wx = _mm256_blendv_pd(wx, _mm256_add_pd(wx, product), keep);
        good = _mm_sub_epi32(good, _mm_castps_si128(number));
        if (stack->sdev != nullptr) {
            __m128 s = _mm_loadu_ps(stack->sdev[j] + p);
            __m256d s2 = _mm256_cvtps_pd(_mm_mul_ps(s, s));
            sq = _mm256_blendv_pd(sq, _mm256_add_pd(sq, s2), keep);
        }
        if (stack->bmask != nullptr) {
            __m128i m = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(stack->bmask[j] + p));
            m = _mm_cvtepi16_epi32(m);
            bmask_or = _mm_or_si128(bmask_or, _mm_and_si128(m, _mm_castps_si128(number)));
        }
    }
    _mm256_storeu_pd(sums->w + b, w);
    _mm256_storeu_pd(sums->wx + b, wx);
    _mm256_storeu_pd(sums->sq + b, sq);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums->good + b), good);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums->bmask_or + b), bmask_or);
}

STACKLE_AVX512_QUIET_BEGIN
// add_four_pixels for eight pixels on processors with AVX-512, chosen at run time:
// the lanes of a NaN value are left out of every sum by the operation's mask.
__attribute__((target("avx512f"))) static void add_eight_pixels(const stack_view* stack,
                                                                const float* dce_weight, size_t p,
                                                                int b, block_sums* sums) {
    __m512d w = _mm512_setzero_pd();
    __m512d wx = _mm512_setzero_pd();
    __m512d sq = _mm512_setzero_pd();
    __m512i good = _mm512_setzero_si512();
    __m512i bmask_or = _mm512_setzero_si512();
    const __m512i one = _mm512_set1_epi64(1);
    for (int j = 0; j < stack->n; ++j) {
        __m512d x = _mm512_cvtps_pd(_mm256_loadu_ps(stack->data[j] + p));
        __mmask8 keep = _mm512_cmp_pd_mask(x, x, _CMP_ORD_Q);
        __m512d weight = _mm512_set1_pd(static_cast<double>(dce_weight[j]));
        w = _mm512_mask_add_pd(w, keep, w, weight);
        wx = _mm512_mask_add_pd(wx, keep, wx, _mm512_mul_pd(weight, x));
        good = _mm512_mask_add_epi64(good, keep, good, one);
        if (stack->sdev != nullptr) {
            __m256 s = _mm256_loadu_ps(stack->sdev[j] + p);
            sq = _mm512_mask_add_pd(sq, keep, sq, _mm512_cvtps_pd(_mm256_mul_ps(s, s)));
        }
        if (stack->bmask != nullptr) {
            __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stack->bmask[j] + p));
            bmask_or = _mm512_mask_or_epi64(bmask_or, keep, bmask_or, _mm512_cvtepi16_epi64(m));
        }
    }
    _mm512_storeu_pd(sums->w + b, w);
    _mm512_storeu_pd(sums->wx + b, wx);
    _mm512_storeu_pd(sums->sq + b, sq);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums->good + b), _mm512_cvtepi64_epi32(good));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums->bmask_or + b),
                        _mm512_cvtepi64_epi32(bmask_or));
}
STACKLE_AVX512_QUIET_END
#endif

// Sums of the `width` pixels from p0 over every DCE, in DCE order.
static void sum_block(const stack_view* stack, const float* dce_weight, size_t p0, int width,
                      block_sums* sums) {
    std::memset(sums, 0, sizeof *sums);
#if defined(STACKLE_AVX_TILES)
    const int level = simd_level();
    if (level == stats_simd_avx512 && width == STACKLE_BLOCK) {
        for (int b = 0; b < width; b += 8)
            add_eight_pixels(stack, dce_weight, p0 + static_cast<size_t>(b), b, sums);
        return;
    }
    if (level == stats_simd_avx2 && width == STACKLE_BLOCK) {
        for (int b = 0; b < width; b += 4)
            add_four_pixels(stack, dce_weight, p0 + static_cast<size_t>(b), b, sums);
        return;
    }
#endif
    for (int j = 0; j < stack->n; ++j)
        add_dce_run(stack, j, static_cast<double>(dce_weight[j]), p0, width, sums);
}

// The statistics of the `width` pixels from p0.
static void statistics_block(const stack_view* stack, const stats_products* out,
                             const control_settings* cs, size_t p0, int width, float nan_value) {
    block_sums sums;
    sum_block(stack, out->dce_weight, p0, width, &sums);
    float* means = out->means + p0;
    float* sdevs = out->sdevs + p0;
    int b = 0;
#if defined(__SSE2__)
    // Two pixels at a time: the same correctly rounded division and square root.
    for (; b + 2 <= width; b += 2) {
        __m128d mean = _mm_div_pd(_mm_loadu_pd(sums.wx + b), _mm_loadu_pd(sums.w + b));
        __m128d good = _mm_cvtepi32_pd(_mm_loadl_epi64(reinterpret_cast<__m128i*>(sums.good + b)));
        __m128d sdev = _mm_div_pd(_mm_sqrt_pd(_mm_loadu_pd(sums.sq + b)), good);
        _mm_storel_pi(reinterpret_cast<__m64*>(means + b), _mm_cvtpd_ps(mean));
        _mm_storel_pi(reinterpret_cast<__m64*>(sdevs + b), _mm_cvtpd_ps(sdev));
    }
#endif
    for (; b < width; ++b) {
        if (sums.good[b] != 0) {
            means[b] = static_cast<float>(sums.wx[b] / sums.w[b]);
            sdevs[b] = static_cast<float>(std::sqrt(sums.sq[b]) / sums.good[b]);
        }
    }
    for (b = 0; b < width; ++b) {
        if (sums.good[b] == 0) { // no value: the pairs above divided by zero
            means[b] = nan_value;
            sdevs[b] = nan_value;
        }
        out->amask[p0 + static_cast<size_t>(b)] = amask_value(sums.good[b], sums.bmask_or[b], cs);
    }
}

void statistics_pass(const stack_view* stack, const float* dce_weight, const control_settings* cs,
                     float* means, float* sdevs, int16_t* amask, float nan_value) {
    stats_products out{dce_weight, means, sdevs, amask};
    for (size_t p0 = 0; p0 < stack->npix; p0 += STACKLE_BLOCK)
        statistics_block(stack, &out, cs, p0, block_width(stack, p0), nan_value);
}

size_t trimming_statistics_pass(const stack_view* stack, const control_settings* cs,
                                data_struct* column, stats_scratch* scratch,
                                const stats_products* out, float nan_value) {
    bool trim = !nothing_to_trim(stack, cs);
    size_t removed = 0;
    for (size_t p0 = 0; p0 < stack->npix; p0 += STACKLE_BLOCK) {
        int width = block_width(stack, p0);
        if (trim)
            removed += trim_block(stack, cs, column, scratch, p0, width, nan_value);
        statistics_block(stack, out, cs, p0, width, nan_value);
    }
    return removed;
}
