// Message code of a status in words.
#include "plenor.h"

#include <cstring>

namespace {

struct code_text {
    int code;
    const char* text;
};

const code_text message_names[] = {
    {0x00, "No error"},      {0x03, "NOT_A_NUMBER"},  {0x04, "MEM_INSUFF"},
    {0x05, "MAT_SINGULAR"},  {0x06, "POS_EXPECTED"},  {0x07, "DIVIDE_ZERO"},
    {0x08, "NNEG_EXPECTED"}, {0x09, "LOG_NEG"},       {0x10, "ROOT_NEG"},
    {0x11, "FOPEN_FAILED"},  {0x12, "COULDNOTREAD"},  {0x16, "INCRT_ARRAY_MODE"},
    {0x17, "INCRT_ARRAY"},   {0x18, "CL_ARGS_INCRT"}, {0x19, "INCRT_PARAMS"},
    {0x1A, "NL_INCRT"},      {0x1B, "DIMS_INCRT"},    {0x71, "MALLOC_FAILED"},
};

} // namespace

int plenor_decode_message(int code, char* text) {
    const char* found = "Unknown error";
    for (const code_text& entry : message_names) {
        if (entry.code == code) {
            found = entry.text;
            break;
        }
    }
    std::strcpy(text, found);
    return 0;
}
