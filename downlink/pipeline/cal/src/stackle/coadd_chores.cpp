// stackle chores: banners, error exits, command line and settings, namelist and
// file lists.
#include "stackle.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

bool weights_come_from_data(const control_settings* cs) {
    return cs->use_weights && cs->fmask_in_file_f;
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
