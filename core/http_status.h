// The reason phrase of each status code the servers answer with, in one table, so a status
// never goes out under two names. Pure and constexpr: tables of refusals use it too.
#pragma once
#include "runtime/types.h"

struct StatusReason {
    i64 status;
    const char* reason;
};

inline constexpr StatusReason k_status_reasons[] = {
    { 200, "OK" },
    { 202, "Accepted" },
    { 400, "Bad Request" },
    { 401, "Unauthorized" },
    { 403, "Forbidden" },
    { 404, "Not Found" },
    { 405, "Method Not Allowed" },
    { 409, "Conflict" },
    { 413, "Content Too Large" },
    { 421, "Misdirected Request" },
    { 429, "Too Many Requests" },
    { 431, "Request Header Fields Too Large" },
    { 500, "Internal Server Error" },
    { 503, "Service Unavailable" },
    { 507, "Insufficient Storage" },
};

// The phrase for status; "Unknown" for a code outside the table (a unit test keeps every
// code the servers send inside it).
constexpr const char* reason_phrase(i64 status)
{
    for (const StatusReason& row : k_status_reasons)
        if (row.status == status)
            return row.reason;
    return "Unknown";
}
