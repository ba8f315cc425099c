// The agents' uid range: its lock under /run/cindervox, the /proc scan, and the refusal
// line start-up prints when either finds the range taken.
#include "exec/agent_uids.h"
#include "runtime/error_text.h"
#include "runtime/fields.h"
#include "runtime/io.h"
#include "runtime/syscall.h"
#include "runtime/text.h"

static bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool status_uid_in_range(const char* text, i64 len, u32 first, u32 count)
{
    static constexpr char key[] = "Uid:";
    bool found = false;
    for_each_line(text, len, [&](const char* line, i64 line_len) {
        if (line_len < (i64)sizeof(key) - 1 || !bytes_equal(line, key, sizeof(key) - 1))
            return false;
        // Four decimals separated by tabs; each is compared as it ends.
        u64 value = 0;
        bool in_number = false;
        for (i64 i = sizeof(key) - 1; i <= line_len; i++) {
            if (i < line_len && is_digit(line[i])) {
                // Past 32 bits the value stops growing and matches nothing.
                if (value <= k_u32_max)
                    value = value * 10 + (u64)(line[i] - '0');
                in_number = value <= k_u32_max;
                continue;
            }
            if (in_number && value >= first && value - first < count)
                found = true;
            value = 0;
            in_number = false;
        }
        return true;
    });
    return found;
}

// Start-up only; the records of one read of /proc.
alignas(8) static constinit char proc_entries[4096] {};

// The first process under the range, or 0. A process that ends while it is looked at is
// passed over.
static i64 find_process_in_range(u32 first, u32 count)
{
    i64 dir = sys_open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir < 0)
        return 0;
    i64 found = 0;
    while (found == 0) {
        i64 len = sys_getdents64((int)dir, proc_entries, sizeof(proc_entries));
        if (len <= 0)
            break;
        for (i64 at = 0; at < len && found == 0;) {
            const dirent64_k* entry = (const dirent64_k*)(proc_entries + at);
            at += entry->reclen;
            if (!is_digit(entry->name[0]))
                continue;
            char path[48];
            i64 name_len = text_length_max(entry->name, 20);
            i64 pos = append_text(path, 0, "/proc/");
            pos = append_bytes(path, pos, entry->name, name_len);
            pos = append_text(path, pos, "/status");
            append_byte(path, pos, 0);
            // The Uid line comes ninth, after a name of at most 64 escaped bytes.
            char status[1024];
            i64 status_len = read_small_file(path, status, sizeof(status) - 1);
            if (status_len > 0 && status_uid_in_range(status, status_len, first, count))
                found = setting_value(entry->name, name_len);
        }
    }
    sys_close((int)dir);
    return found;
}

// Held until the server ends; close-on-exec, and the jails' inits never close the server's
// own descriptor table (they have copies).
static constinit int lock_fd = -1;

static AgentUidClaim lock_range(u32 first, u32 count)
{
    i64 made = sys_mkdir(k_agent_uid_lock_dir, 0755);
    if (made < 0 && made != -EEXIST)
        return { k_agent_uids_lock_failed, 0, made };
    i64 fd = sys_open(k_agent_uid_lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return { k_agent_uids_lock_failed, 0, fd };
    // Anyone who can open the file can hold a read lock on a range, which keeps a server off
    // it: the file is the server's alone, and one left readable by an older server is made so.
    stat_k st {};
    if (sys_fstat((int)fd, &st) < 0 || (st.mode & S_IFMT) != S_IFREG || st.uid != (u32)sys_geteuid()
        || sys_fchmod((int)fd, 0600) < 0) {
        sys_close((int)fd);
        return { k_agent_uids_lock_failed, 0, -EPERM };
    }
    flock_k range { F_WRLCK, 0, (long)first, (long)count, 0 };
    i64 result = sys_fcntl((int)fd, F_OFD_SETLK, (i64)&range);
    if (result < 0) {
        sys_close((int)fd);
        if (result == -EAGAIN || result == -EACCES)
            return { k_agent_uids_locked, 0, 0 };
        return { k_agent_uids_lock_failed, 0, result };
    }
    lock_fd = (int)fd;
    return { k_agent_uids_claimed, 0, 0 };
}

AgentUidClaim claim_agent_uids(u32 first, u32 count)
{
    AgentUidClaim claim = lock_range(first, count);
    if (claim.outcome != k_agent_uids_claimed)
        return claim;
    i64 pid = find_process_in_range(first, count);
    if (pid > 0)
        return { k_agent_uids_in_use, pid, 0 };
    return claim;
}

i64 build_agent_uid_refusal(char* out, const AgentUidClaim& claim, u32 first, u32 count)
{
    i64 pos = append_text(out, 0, "[ERROR] agent uids ");
    pos = append_decimal(out, pos, first);
    pos = append_byte(out, pos, '-');
    pos = append_decimal(out, pos, (i64)first + count - 1);
    switch (claim.outcome) {
    case k_agent_uids_in_use:
        pos = append_text(out, pos, " are in use by another process (pid ");
        pos = append_decimal(out, pos, claim.pid);
        pos = append_byte(out, pos, ')');
        break;
    case k_agent_uids_locked:
        pos = append_text(out, pos, " are held by another server (");
        pos = append_text(out, pos, k_agent_uid_lock_path);
        pos = append_byte(out, pos, ')');
        break;
    default:
        pos = append_text(out, pos, " cannot be locked (");
        pos = append_text(out, pos, k_agent_uid_lock_path);
        pos = append_text(out, pos, ": ");
        pos = append_error_name(out, pos, claim.error);
        return append_text(out, pos, ")\n");
    }
    return append_text(out, pos, "; set uid_base= in /etc/cindervox/config\n");
}
