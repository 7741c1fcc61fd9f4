// Resource and control identifiers of the uploader's dialogs.
#pragma once

#define IDD_CRASH 51
#define IDD_FEEDBACK 52
#define IDC_ICON_PICTURE 50
#define IDC_HEADLINE 3
#define IDC_EXPLANATION 4
#define IDC_DETAIL_LINK 5
#define IDC_INCLUDE_SCREENSHOTS 6
#define IDC_FEEDBACK_INTRO 1001
#define IDC_EMAIL_LABEL 5
#define IDC_EMAIL 51
#define IDC_MESSAGE_LABEL 3
#define IDC_MESSAGE 52
