// Command line: file names and levels into the records, the check of the three required
// names and the verbose listing.  Also the word helpers the namelist reader shares.
#include "plenor.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

plenor_word_result plenor_read_word(const char** src, char* out, size_t cap) {
    const char* p = *src;
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    const char* begin = p;
    while (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
    *src = p;
    const size_t length = static_cast<size_t>(p - begin);
    if (length == 0) {
        return WORD_NONE;
    }
    if (length > cap) {
        return WORD_TOO_LONG;
    }
    std::memcpy(out, begin, length);
    out[length] = '\0';
    return WORD_OK;
}

bool plenor_store_name(char* field, const char* text, bool bang) {
    const size_t length = std::strlen(text) + (bang ? 1 : 0);
    if (length > static_cast<size_t>(PLENOR_NAME_MAX)) {
        return false;
    }
    char* out = field;
    if (bang) {
        *out++ = '!';
    }
    std::strcpy(out, text);
    return true;
}

bool plenor_to_int(const char* text, int32_t* value) {
    char* end = nullptr;
    errno = 0;
    const long converted = std::strtol(text, &end, 10);
    const bool digits = end != text;
    const bool overflow = errno == ERANGE || converted > INT32_MAX || converted < INT32_MIN;
    if (converted > INT32_MAX) {
        *value = INT32_MAX;
    } else if (converted < INT32_MIN) {
        *value = INT32_MIN;
    } else {
        *value = static_cast<int32_t>(converted);
    }
    return digits && !overflow;
}

namespace {

// What one option does.
enum option_kind {
    OPT_NAME,       // a file name into a field
    OPT_LEVEL,      // an integer level
    OPT_TOGGLE,     // -v
    OPT_BAD_PAIR,   // -p or -d with an unknown variant: steps over the next argument too
    OPT_BAD_SINGLE, // -c or -u with an unknown variant
    OPT_UNKNOWN,    // a second character that selects nothing
};

struct option_target {
    option_kind kind;
    char* name;     // OPT_NAME
    bool bang;      // OPT_NAME: store with a leading "!"
    int32_t* level; // OPT_LEVEL
};

option_target name_option(char* field, bool bang) {
    return {OPT_NAME, field, bang, nullptr};
}
option_target level_option(int32_t* level) {
    return {OPT_LEVEL, nullptr, false, level};
}
option_target plain_option(option_kind kind) {
    return {kind, nullptr, false, nullptr};
}

// -p, -pm; -d, -dm: a mask file or its fatality level.
option_target mask_option(char variant, char* file, int32_t* level) {
    if (variant == '\0') {
        return name_option(file, false);
    }
    if (variant == 'm') {
        return level_option(level);
    }
    return plain_option(OPT_BAD_PAIR);
}

option_target c_option(char variant, file_names* fn, run_control* rc) {
    switch (variant) {
    case '\0':
        return name_option(fn->Cmask_File, false);
    case 'm':
        return level_option(&rc->CmaskMask);
    case 't':
        return name_option(fn->Transmission_Cal_Mask_File, false);
    default:
        return plain_option(OPT_BAD_SINGLE);
    }
}

option_target u_option(char variant, file_names* fn) {
    switch (variant) {
    case 'i':
        return name_option(fn->Input_Uncertainty_File, false);
    case 'o':
        return name_option(fn->Output_Uncertainty_File, true);
    default:
        return plain_option(OPT_BAD_SINGLE);
    }
}

// The option an argument beginning with "-" selects; only its second and third characters
// count.
option_target select_option(const char* arg, file_names* fn, run_control* rc) {
    const char variant = arg[1] == '\0' ? '\0' : arg[2];
    switch (arg[1]) {
    case 'i':
        return name_option(fn->FITS_Input_File, false);
    case 'o':
        return name_option(fn->FITS_Output_File, true);
    case 'f':
        return name_option(fn->FITS_Flatfield_File, false);
    case 'n':
        return name_option(fn->Namelist_File, false);
    case 'l':
        return name_option(fn->Processing_Log_File, false);
    case 't':
        return name_option(fn->Transmission_Cal_Flatfile, false);
    case 'p':
        return mask_option(variant, fn->Pmask_File, &rc->PmaskMask);
    case 'd':
        return mask_option(variant, fn->Dmask_File, &rc->DmaskMask);
    case 'c':
        return c_option(variant, fn, rc);
    case 'u':
        return u_option(variant, fn);
    case 'v':
        return plain_option(OPT_TOGGLE);
    default:
        return plain_option(OPT_UNKNOWN);
    }
}

// Applies an option's value; false when the value is blank, too long or not a number.
bool apply_value(const option_target& opt, const char* value) {
    char word[PLENOR_NAME_MAX + 1];
    const char* p = value;
    if (plenor_read_word(&p, word, PLENOR_NAME_MAX) != WORD_OK) {
        return false;
    }
    if (opt.kind == OPT_LEVEL) {
        int32_t level = 0;
        if (!plenor_to_int(word, &level)) {
            return false;
        }
        *opt.level = level;
        return true;
    }
    return plenor_store_name(opt.name, word, opt.bang);
}

// Handles the option at argv[i]; returns how many arguments it consumes and sets
// *syntax_error when it is malformed.
int apply_option(int argc, char** argv, int i, file_names* fn, run_control* rc,
                 bool* syntax_error) {
    const option_target opt = select_option(argv[i], fn, rc);
    switch (opt.kind) {
    case OPT_UNKNOWN:
        std::printf("plenor_parse_args: unknown argument\n");
        *syntax_error = true;
        return 1;
    case OPT_TOGGLE:
        rc->I_Verbose = 1 - rc->I_Verbose;
        return 1;
    case OPT_BAD_PAIR:
        *syntax_error = true;
        return 2;
    case OPT_BAD_SINGLE:
        *syntax_error = true;
        return 1;
    default:
        break;
    }
    if (i + 1 >= argc) {
        *syntax_error = true;
        return 1;
    }
    if (!apply_value(opt, argv[i + 1])) {
        std::printf("plenor_parse_args: invalid value for %s\n", argv[i]);
        *syntax_error = true;
    }
    return 2;
}

void print_settings(const file_names* fn, const run_control* rc) {
    std::printf("plenor_parse_args: Input DCE  = \t%s\n", fn->FITS_Input_File);
    std::printf("plenor_parse_args: Ouput DCE  = \t%s\n", fn->FITS_Output_File);
    std::printf("plenor_parse_args: flatfield  = \t%s\n", fn->FITS_Flatfield_File);
    std::printf("plenor_parse_args: Input Uncertainty = \t%s\n", fn->Input_Uncertainty_File);
    std::printf("plenor_parse_args: Output Uncertainty = %s\n", fn->Output_Uncertainty_File);
    std::printf("plenor_parse_args: Pmask File = \t%s\n", fn->Pmask_File);
    std::printf("plenor_parse_args: Pmask Mask = \t%d\n", rc->PmaskMask);
    std::printf("plenor_parse_args: Dmask File = \t%s\n", fn->Dmask_File);
    std::printf("plenor_parse_args: Dmask Mask = \t%d\n", rc->DmaskMask);
    std::printf("plenor_parse_args: Cmask File = \t%s\n", fn->Cmask_File);
    std::printf("plenor_parse_args: Cmask Mask = \t%d\n", rc->CmaskMask);
    std::printf("plenor_parse_args: Trans. Calibrator File = \t%s\n",
                fn->Transmission_Cal_Flatfile);
    std::printf("plenor_parse_args: Trans. Calibrator Cmask File = \t%s\n",
                fn->Transmission_Cal_Mask_File);
    std::printf("plenor_parse_args: I_Verbose = \t\t\t%d\n", rc->I_Verbose);
}

// The three required names; true when one of them is missing.
bool report_missing(const file_names* fn) {
    bool missing = false;
    if (fn->FITS_Input_File[0] == '\0') {
        std::printf("plenor_parse_args: Missing required information - -i <input_file>\n");
        missing = true;
    }
    if (fn->FITS_Output_File[0] == '\0') {
        std::printf("plenor_parse_args: Missing required information - -o <output_file>\n");
        missing = true;
    }
    if (fn->FITS_Flatfield_File[0] == '\0') {
        std::printf("plenor_parse_args: Missing required information - -f <flafield_file>\n");
        missing = true;
    }
    return missing;
}

} // namespace

int plenor_parse_args(int argc, char** argv, file_names* fn, run_control* rc) {
    // A malformed argument anywhere on the line makes the run fail; a later valid option
    // does not clear it.
    bool syntax_error = false;
    int i = 1;
    while (i < argc) {
        if (argv[i][0] != '-') {
            std::printf("plenor_parse_args: command line syntax error");
            syntax_error = true;
            ++i;
            continue;
        }
        i += apply_option(argc, argv, i, fn, rc, &syntax_error);
    }
    if (report_missing(fn) || syntax_error) {
        rc->status = plenor_code(FCN_PARSE_ARGS, MSG_CL_ARGS_INCRT);
    }
    if (rc->I_Verbose != 0) {
        print_settings(fn, rc);
    }
    return 0;
}
