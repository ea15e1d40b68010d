/* Line tokenizer with quoted strings.
 *
 * Splits line at whitespace (space, newline, tab) into at most maxtok tokens,
 * copied into the caller's buffers tokens[0 .. maxtok-1] of bufsize bytes
 * each; the line is not modified.  A character of specials also ends a
 * token, except in its first position, and is consumed.  A token opening
 * with ' runs to its closing quote, keeping the quotes; a doubled quote ''
 * is copied as two characters and continues the token.  No buffer receives
 * more than bufsize - 1 characters and its terminating NUL: a longer word
 * is cut there and its remainder becomes the next token; a longer quoted
 * token is cut.  With bufsize < 2 no token can be held and none is returned.
 * *rest (when rest is not null) receives the position in line where
 * scanning stopped.  Returns the number of tokens found. */
#ifndef DOWNLINK_TOKENIZE_H
#define DOWNLINK_TOKENIZE_H

#include "errva_api.h"

#ifdef __cplusplus
extern "C" {
#endif

ERRVA_API int tokenize(char* line, const char* specials, int bufsize, int maxtok, char** tokens,
                       char** rest);

#ifdef __cplusplus
}
#endif

#endif
