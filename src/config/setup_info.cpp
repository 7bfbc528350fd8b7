#include "config/setup_info.h"

#include <algorithm>

const char* const kDefaultExecPara =
    "HOST=<HOST> \"DATATIME=<DATE TIME>\" \"EVENT=<EVENT>\" LOSTRATE=<LOST RATE>";
const char* const kDefaultMailBody =
    "the name is <NAME>\r\n"
    "the IP address is <HOST>\r\n"
    "the datetime is <DATE TIME>\r\n"
    "the EVENT is <EVENT>\r\n"
    "the lost rate is <LOST RATE>";
const char* const kDefaultTestSubject = "send a test Email";
const char* const kDefaultDownSubject = "the host of <HOST> is down";
const char* const kDefaultUpSubject = "the host of <HOST> is up";
const char* const kDefaultEmailName = "Velmora Administrators";

CSetupInfo* g_pSetupInfo = nullptr;

CSetupInfo::CSetupInfo()
    : execpara(kDefaultExecPara),
      testsubject(kDefaultTestSubject),
      downsubject(kDefaultDownSubject),
      downbody(kDefaultMailBody),
      upsubject(kDefaultUpSubject),
      upbody(kDefaultMailBody),
      emailName(kDefaultEmailName) {}

CSetupInfo::~CSetupInfo() = default;

int CSetupInfo::RecipientCount() const {
    return std::clamp<int32_t>(newemailcount, 0, kMaxRecipients);
}
