/* Export attribute of liberrva's public symbols, shared by its headers.  The
 * library is built with hidden visibility; a caller may define ERRVA_API
 * itself before including any of them. */
#ifndef DOWNLINK_ERRVA_API_H
#define DOWNLINK_ERRVA_API_H

#ifndef ERRVA_API
#define ERRVA_API __attribute__((visibility("default")))
#endif

#endif
