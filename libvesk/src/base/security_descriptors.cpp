#include "security_descriptors.h"

#include <windows.h>
#include <sddl.h>

#include "files.h"
#include "format_into.h"
#include "owners.h"

bool user_pipe_sddl(UserPipe pipe, char (&sddl)[kPipeSddlBytes]) {
    UniqueLocal sid(GetSid());
    char* sid_text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid.get(), &sid_text)) return false;
    UniqueLocal owned(sid_text);
    const Fit fit =
        pipe == UserPipe::installer
            ? format_into(sddl, sizeof sddl, "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;%s)S:(ML;;NWNR;;;HI)", sid_text)
            : format_into(sddl, sizeof sddl, "D:P(A;;FA;;;%s)", sid_text);
    if (fit != Fit::ok) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}
