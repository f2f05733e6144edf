// The working folder's protection: a folder only administrators may change, opened without
// following a link and held so that it cannot be swapped while the run uses it.
#include "os/win32/win32.h"

#include <aclapi.h>

namespace os {

namespace {

// "Owner Administrators; DACL protected: full control, inherited by folders and files, to SYSTEM
// and Administrators" in the security descriptor language, which Windows 2000 and later read.
// Built by hand instead, to keep the import list to the calls Windows has had since NT 4.
struct PrivateSecurity {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    PSID system = nullptr;
    alignas(DWORD) unsigned char acl[256];
    SECURITY_DESCRIPTOR descriptor;

    bool Build() {
        if (!::AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                        0, &administrators) ||
            !::AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, &system)) {
            return false;
        }
        PACL dacl = reinterpret_cast<PACL>(acl);
        constexpr DWORD kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
        return ::InitializeAcl(dacl, sizeof acl, ACL_REVISION) &&
               ::AddAccessAllowedAceEx(dacl, ACL_REVISION, kInherit, FILE_ALL_ACCESS, system) &&
               ::AddAccessAllowedAceEx(dacl, ACL_REVISION, kInherit, FILE_ALL_ACCESS, administrators) &&
               ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
               ::SetSecurityDescriptorOwner(&descriptor, administrators, FALSE) &&
               ::SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) &&
               ::SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    ~PrivateSecurity() {
        if (administrators != nullptr) ::FreeSid(administrators);
        if (system != nullptr) ::FreeSid(system);
    }
};

bool IsAdministratorsOrSystem(const PrivateSecurity& security, PSID sid) {
    if (sid == nullptr || !::IsValidSid(sid)) return false;
    return ::EqualSid(sid, security.administrators) || ::EqualSid(sid, security.system);
}

}  // namespace

bool CreatePrivateDirectory(const char* path) {
    PrivateSecurity security;
    if (!security.Build()) return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &security.descriptor, FALSE};
    // Setting the owner to Administrators needs the caller to be one; the program runs elevated.
    return ::CreateDirectoryA(path, &attributes) != FALSE;
}

Handle OpenDirectoryNoFollow(const char* path) {
    // FILE_FLAG_OPEN_REPARSE_POINT opens a junction or symbolic link itself rather than what it
    // leads to; its attributes then tell it apart from a real folder. Without FILE_SHARE_DELETE
    // nobody can open the folder for deletion or renaming while this handle lives.
    HANDLE h = ::CreateFileA(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return InvalidHandle();
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        ::CloseHandle(h);
        ::SetLastError(ERROR_DIRECTORY);
        return InvalidHandle();
    }
    return h;
}

bool IsPrivateDirectory(Handle directory) {
    PrivateSecurity security;
    if (!security.Build()) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                          nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool mine = IsAdministratorsOrSystem(security, owner) && dacl != nullptr &&
                ::GetSecurityDescriptorControl(descriptor, &control, &revision) && (control & SE_DACL_PROTECTED) != 0;
    // Every entry must grant to Administrators or SYSTEM: an entry for anyone else, allowing or
    // denying, is not what this program writes.
    for (DWORD i = 0; mine && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace)) {
            mine = false;
            break;
        }
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        mine = header->AceType == ACCESS_ALLOWED_ACE_TYPE &&
               IsAdministratorsOrSystem(security, &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart);
    }
    ::LocalFree(descriptor);
    return mine;
}

bool ProtectDirectory(Handle directory) {
    PrivateSecurity security;
    if (!security.Build()) return false;
    return ::SetSecurityInfo(directory, SE_FILE_OBJECT,
                             OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                 PROTECTED_DACL_SECURITY_INFORMATION,
                             security.administrators, nullptr, reinterpret_cast<PACL>(security.acl),
                             nullptr) == ERROR_SUCCESS;
}

}  // namespace os
