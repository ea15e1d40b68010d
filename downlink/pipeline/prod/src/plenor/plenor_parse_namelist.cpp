// Namelist file: the &PLENORIN group of "key = value" entries, read before the command line
// so that command-line values replace namelist values.  Also the usage text.
#include "plenor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void plenor_print_usage() {
    std::printf("plenor:\n"
                "        Required arguments\n"
                "        -i  <file>    Input DCE\n"
                "        -o  <file>    Output DCE\n"
                "        -f  <file>    Flatfield\n"
                "        Optional arguments\n"
                "        -ui <file>    Input Uncertainty image\n"
                "        -uo <file>    Output Uncertainty image\n"
                "        -n  <file>    Namelist\n"
                "        -d  <file>    Dmask or BRELT Bmask\n"
                "        -dm <integer> Dmask fatality level (default 16384)\n"
                "        -p  <file>    Pmask\n"
                "        -pm <integer> Pmask fatality level (default 128)\n"
                "        -c  <file>    Cmask\n"
                "        -cm <integer> Cmask fatality level (default 256)\n"
                "        -t  <file>    Transmission Calibrator Flatfield\n"
                "        -ct <file>    Cmask for Transmission Calibrator Flatfield\n"
                "        -l  <file>    Processing Log File (optional)\n"
                "        -v            Verbose\n"
                "Note: If a Cmask is given for the transmission calibrator flat (-tc),\n"
                "the Cmask fatality level provided in the -cm option will be used for \n"
                "masking the flat.\n\n");
}

namespace {

const char group_start[] = "&PLENORIN";
const size_t group_start_length = sizeof group_start - 1;

// Finds the namelist name among the arguments ("-n <file>"; the last one wins).
void find_namelist_name(int argc, char** argv, file_names* fn) {
    int i = 1;
    while (i < argc) {
        const char* arg = argv[i];
        ++i;
        if (arg[0] != '-' || arg[1] != 'n') {
            continue;
        }
        if (i >= argc) {
            std::printf("plenor_parse_namelist: -n <input_namelist_fname> missing argument\n");
            continue;
        }
        const char* value = argv[i];
        ++i;
        if (plenor_read_word(&value, fn->Namelist_File, PLENOR_NAME_MAX) != WORD_OK) {
            std::printf("plenor_parse_namelist: -n <input_namelist_fname> blank or longer "
                        "than %d characters\n",
                        PLENOR_NAME_MAX);
            fn->Namelist_File[0] = '\0';
        }
    }
}

// First read of a namelist; the buffer doubles whenever it fills up.
constexpr size_t namelist_chunk = 4096;

// Reads the stream to its end into a terminated heap buffer (caller frees), growing it as the
// text comes, so that pipes and devices, which have no size to ask for, are read like files.
// Returns null with *no_memory set when the buffer cannot grow, and null when the stream
// reports a read error; *length receives the number of bytes read.
char* read_to_end(FILE* file, size_t* length, bool* no_memory) {
    char* text = nullptr;
    size_t capacity = 0;
    size_t used = 0;
    for (;;) {
        if (capacity - used < 2) {
            const size_t grown = capacity == 0 ? namelist_chunk : 2 * capacity;
            char* bigger =
                grown > capacity ? static_cast<char*>(std::realloc(text, grown)) : nullptr;
            if (bigger == nullptr) {
                std::free(text);
                *no_memory = true;
                return nullptr;
            }
            text = bigger;
            capacity = grown;
        }
        const size_t room = capacity - used - 1;
        const size_t got = std::fread(text + used, 1, room, file);
        used += got;
        if (got < room) {
            break; // end of file or a read error
        }
    }
    if (std::ferror(file) != 0) {
        std::free(text);
        return nullptr;
    }
    text[used] = '\0';
    *length = used;
    return text;
}

// Reads the whole file into a terminated heap buffer (caller frees).  Sets the status and
// returns null on failure.
char* read_namelist_text(const char* name, run_control* rc) {
    FILE* file = std::fopen(name, "r");
    if (file == nullptr) {
        std::printf("plenor_parse_namelist: Error opening file %s\n", name);
        rc->status = plenor_code(FCN_NAMELIST, MSG_FOPEN_FAILED);
        return nullptr;
    }
    size_t length = 0;
    bool no_memory = false;
    char* text = read_to_end(file, &length, &no_memory);
    std::fclose(file);
    if (no_memory) {
        rc->status = plenor_code(FCN_NAMELIST, MSG_MALLOC_FAILED);
        return nullptr;
    }
    if (text == nullptr || length == 0) {
        std::printf("plenor_parse_namelist: Could not read from file %s", name);
        std::free(text);
        rc->status = plenor_code(FCN_NAMELIST, MSG_COULDNOTREAD);
        return nullptr;
    }
    return text;
}

// The text behind the group start "&PLENORIN", or null when there is none.
char* find_group(char* text) {
    const size_t length = std::strlen(text);
    char* from = text;
    for (;;) {
        char* amp = std::strchr(from, '&');
        if (amp == nullptr || static_cast<size_t>(amp - text) + group_start_length > length) {
            return nullptr;
        }
        if (std::strncmp(amp, group_start, group_start_length) == 0) {
            return amp + group_start_length;
        }
        from = amp + 1;
    }
}

enum entry_kind { ENTRY_IGNORE, ENTRY_NAME, ENTRY_LEVEL };

struct namelist_key {
    const char* key;
    entry_kind kind;
    char* name;     // ENTRY_NAME
    bool bang;      // ENTRY_NAME: store with a leading "!"
    int32_t* level; // ENTRY_LEVEL
};

// Applies a matched entry.  A quoted name starts behind its first character and ends at the
// next apostrophe or at the end of the word.
void apply_entry(const namelist_key& entry, const char* value) {
    if (entry.kind == ENTRY_LEVEL) {
        plenor_to_int(value, entry.level);
        return;
    }
    if (entry.kind != ENTRY_NAME) {
        return;
    }
    char name[PLENOR_WORD_MAX + 1];
    const char* begin = value[0] == '\0' ? value : value + 1;
    const size_t length = std::strcspn(begin, "'");
    std::memcpy(name, begin, length);
    name[length] = '\0';
    plenor_store_name(entry.name, name, entry.bang);
}

// One "key = value" entry.  Returns false when a word is longer than PLENOR_WORD_MAX.
bool parse_entry(const char* token, const namelist_key* keys, size_t key_count) {
    char key[PLENOR_WORD_MAX + 1];
    char equals[PLENOR_WORD_MAX + 1];
    char value[PLENOR_WORD_MAX + 1];
    char* words[3] = {key, equals, value};
    const char* p = token;
    for (char* word : words) {
        const plenor_word_result got = plenor_read_word(&p, word, PLENOR_WORD_MAX);
        if (got == WORD_TOO_LONG) {
            // A comment is read and ignored, however long.
            return word == value && std::strcmp(key, "Comment") == 0 &&
                   std::strcmp(equals, "=") == 0;
        }
        if (got == WORD_NONE) {
            return true; // not an entry
        }
    }
    if (std::strcmp(equals, "=") != 0) {
        return true;
    }
    for (size_t k = 0; k < key_count; ++k) {
        if (std::strcmp(key, keys[k].key) == 0) {
            apply_entry(keys[k], value);
            break;
        }
    }
    return true;
}

// Applies the entries of the group up to the first token holding "&".  Returns false when
// an entry holds an over-long word.
bool parse_group(char* group, file_names* fn, run_control* rc) {
    const namelist_key keys[] = {
        {"Comment", ENTRY_IGNORE, nullptr, false, nullptr},
        {"FITS_Input_File", ENTRY_NAME, fn->FITS_Input_File, false, nullptr},
        {"Input_Uncertainty_File", ENTRY_NAME, fn->Input_Uncertainty_File, false, nullptr},
        {"Output_Uncertainty_File", ENTRY_NAME, fn->Output_Uncertainty_File, true, nullptr},
        {"FITS_Output_File", ENTRY_NAME, fn->FITS_Output_File, true, nullptr},
        {"FITS_Flatfield_File", ENTRY_NAME, fn->FITS_Flatfield_File, false, nullptr},
        {"Cmask_File", ENTRY_NAME, fn->Cmask_File, false, nullptr},
        {"Dmask_File", ENTRY_NAME, fn->Dmask_File, false, nullptr},
        {"Pmask_File", ENTRY_NAME, fn->Pmask_File, false, nullptr},
        {"DmaskMask", ENTRY_LEVEL, nullptr, false, &rc->DmaskMask},
        {"PmaskMask", ENTRY_LEVEL, nullptr, false, &rc->PmaskMask},
        {"CmaskMask", ENTRY_LEVEL, nullptr, false, &rc->CmaskMask},
        {"Transmission_Cal_Flatfile", ENTRY_NAME, fn->Transmission_Cal_Flatfile, false, nullptr},
        {"Processing_Log_File", ENTRY_NAME, fn->Processing_Log_File, false, nullptr},
        {"Transmission_Cal_Mask_File", ENTRY_NAME, fn->Transmission_Cal_Mask_File, false, nullptr},
        {"Verbose", ENTRY_LEVEL, nullptr, false, &rc->I_Verbose},
    };
    const size_t key_count = sizeof keys / sizeof keys[0];
    char* save = nullptr;
    for (char* token = strtok_r(group, ",\n", &save); token != nullptr;
         token = strtok_r(nullptr, ",\n", &save)) {
        if (std::strchr(token, '&') != nullptr) {
            break;
        }
        if (!parse_entry(token, keys, key_count)) {
            return false;
        }
    }
    return true;
}

} // namespace

int plenor_parse_namelist(int argc, char** argv, file_names* fn, run_control* rc) {
    if (rc->status != 0) {
        return -1;
    }
    if (argc <= 1) {
        plenor_print_usage();
        rc->status = plenor_code(FCN_PARSE_ARGS, MSG_CL_ARGS_INCRT);
        return -1;
    }
    find_namelist_name(argc, argv, fn);
    if (fn->Namelist_File[0] == '\0') {
        std::printf("plenor_parse_namelist: Information only: %s\n", "Namelist not specified.");
        return 0;
    }
    char* text = read_namelist_text(fn->Namelist_File, rc);
    if (text == nullptr) {
        return -1;
    }
    char* group = find_group(text);
    if (group == nullptr) {
        std::free(text);
        rc->status = plenor_code(FCN_NAMELIST, MSG_NL_INCRT);
        return -1;
    }
    const bool parsed = parse_group(group, fn, rc);
    std::free(text);
    if (!parsed) {
        std::printf("plenor_parse_namelist: Namelist entry with a word longer than %d "
                    "characters in file %s\n",
                    PLENOR_WORD_MAX, fn->Namelist_File);
        rc->status = plenor_code(FCN_NAMELIST, MSG_NL_INCRT);
        return -1;
    }
    if (rc->I_Verbose != 0) {
        std::printf("plenor_parse_namelist: Namelist File = \t%s\n", fn->Namelist_File);
    }
    return 0;
}
