// Function code of a status in words.
#include "plenor.h"

#include <cstring>

namespace {

struct code_text {
    int code;
    const char* text;
};

const code_text function_names[] = {
    {0x00, "No function"},    {0x01, "EXEC"},          {0x02, "INIT_CONSTANTS"},
    {0x03, "INIT"},           {0x04, "MKBASIS"},       {0x05, "TRANSPMULT"},
    {0x06, "DETCOMP"},        {0x07, "PSEUDOCOMP"},    {0x08, "VEC_MULT"},
    {0x0A, "INNER_PROD"},     {0x0B, "SSORTP"},        {0x14, "READ_DATA"},
    {0x15, "OUTPUT_PROBS"},   {0x16, "INIT_ALLOCATE"}, {0x17, "MAT_INVERT"},
    {0x18, "KEYWORDS"},       {0x19, "STD_KEYWORDS"},  {0x1A, "CONST_KEYWORDS"},
    {0x1B, "FILEN_KEYWORDS"}, {0x1C, "NAMELIST"},      {0x1D, "OUTPUT_FLUXES"},
    {0x1E, "OUTPUT_DATA"},    {0x1F, "OUTPUT_SAMPS"},  {0x20, "PARSE_ARGS"},
    {0x21, "COMPUTE"},
};

} // namespace

int plenor_decode_fcnname(int code, char* text) {
    const char* found = "Unknown function.";
    for (const code_text& entry : function_names) {
        if (entry.code == code) {
            found = entry.text;
            break;
        }
    }
    std::strcpy(text, found);
    return 0;
}
