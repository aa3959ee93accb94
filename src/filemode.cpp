#include "filemode.h"

#include "system.h"

namespace {

constexpr unsigned setuidbit = 04000, setgidbit = 02000, group = 070, others = 07, owneronly = 0700;

}  // namespace

bool givemode(int fd, int old, const struct stat &st) {
    struct stat now;
    if (!sys::ownerof(fd, now))
        return true;  // a system that keeps no owner or mode gives the folder's own rules
    if (!sys::setowner(fd, st.st_uid, st.st_gid))
        sys::setowner(fd, -1, st.st_gid);
    auto mode = static_cast<unsigned>(st.st_mode) & 07777u;
    bool known = sys::ownerof(fd, now);
    if (!known || now.st_gid != st.st_gid)
        mode = (mode & ~(setgidbit | group)) | (mode & group & ((mode & others) << 3));
    if (!known || now.st_uid != st.st_uid)
        mode &= ~setuidbit;
    // The mode set after the ACL narrows its mask as it narrows the group bits.
    if (!sys::copyacl(fd, old))
        mode &= owneronly;
    sys::copyattributes(fd, old);
    // Some systems refuse the set-id and sticky bits alone, so without them is tried next; failing
    // that the file keeps the private mode it was made with.
    return sys::setmode(fd, mode) || sys::setmode(fd, mode & 0777u);
}
