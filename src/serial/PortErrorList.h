#pragma once
// The one table of port result codes, their texts and the exception class each
// code raises. Everything else (the ec constants, the exception classes, the
// code-to-class mapping and the message table) is generated from these lists,
// so a code, its text and its class can never drift apart.
//
// Lists (each macro is handed one entry at a time):
//   DRAVANE_PORT_GROUP_CLASSES(G)       G(Class): the family classes, each an EPortException
//   DRAVANE_PORT_CLASSED_CODES(C)       C(Name, Code, Class, Group, Text): a code with a class of its own
//   DRAVANE_PORT_NAMED_CODES(N)         N(Name, Code, Text): a named code without a class of its own
//   DRAVANE_PORT_SHARED_CLASS_CODES(R)  R(Code, Class, Text): an unnamed code raising an existing class
//   DRAVANE_PORT_SOCKET_CODES(S)        S(Name, Code, Text): positive socket-layer and socket-library codes
//   DRAVANE_PORT_TEXTS(T)               T(Number, Text): numbers that only have a text

// clang-format off

#define DRAVANE_PORT_GROUP_CLASSES(G) \
    G(EGeneral) G(EOpenComm) G(ESerialIO) G(EModem) G(ETrigger) G(EPacket) \
    G(EProtocol) G(EINI) G(EFax) G(ETapi) G(ERas)

#define DRAVANE_PORT_CLASSED_CODES(C) \
    C(ecBadArgument,          -1002, EBadArgument,          EGeneral,  "Bad argument passed to function") \
    C(ecGotQuitMsg,           -1003, EGotQuitMsg,           EGeneral,  "Got quit message") \
    C(ecBufferTooBig,         -1004, EBufferTooBig,         EGeneral,  "Terminal buffer greater than 65521") \
    C(ecPortNotAssigned,      -1005, EPortNotAssigned,      EGeneral,  "ComPort component not assigned") \
    C(ecInternal,             -1006, EInternal,             EGeneral,  "Internal error creating window class") \
    C(ecModemNotAssigned,     -1007, EModemNotAssigned,     EGeneral,  "Modem component not assigned") \
    C(ecPhonebookNotAssigned, -1008, EPhonebookNotAssigned, EGeneral,  "Phonebook component not assigned") \
    C(ecCannotUseWithWinSock, -1009, ECannotUseWithWinSock, EGeneral,  "Component not compatible with WinSock") \
    C(ecBadId,                -2001, EBadId,                EOpenComm, "ie_BadId - Specified comport doesn't exist") \
    C(ecBaudRate,             -2002, EBaudRate,             EOpenComm, "ie_Baudrate - unsupported baud rate") \
    C(ecByteSize,             -2003, EByteSize,             EOpenComm, "ie_Bytesize - invalid byte size") \
    C(ecDefault,              -2004, EDefault,              EOpenComm, "ie_Default - error in default parameters") \
    C(ecHardware,             -2005, EHardware,             EOpenComm, "ie_Hardware - Specified comport in use") \
    C(ecMemory,               -2006, EMemory,               EOpenComm, "ie_Memory - unable to allocate queues") \
    C(ecCommNotOpen,          -2007, ECommNotOpen,          EOpenComm, "ie_NOpen - device not open") \
    C(ecAlreadyOpen,          -2008, EAlreadyOpen,          EOpenComm, "ie_Open - device already open") \
    C(ecNoHandles,            -2009, ENoHandles,            EOpenComm, "No more handles, can't open port") \
    C(ecNoTimers,             -2010, ENoTimers,             EOpenComm, "No timers available") \
    C(ecNoPortSelected,       -2011, ENoPortSelected,       EOpenComm, "The ComNumber property of the TComPort has not been set") \
    C(ecNotOpenedByTapi,      -2012, ENotOpenedByTapi,      EOpenComm, "Comport was not opened by Tapi") \
    C(ecNullApi,              -3001, ENullApi,              ESerialIO, "No device layer specified") \
    C(ecRegisterHandlerFailed,-3003, ERegisterHandlerFailed,ESerialIO, "EnableCommNotification failed") \
    C(ecPutBlockFail,         -3004, EPutBlockFail,         ESerialIO, "Failed to put entire block") \
    C(ecGetBlockFail,         -3005, EGetBlockFail,         ESerialIO, "Failed to get entire block") \
    C(ecOutputBufferTooSmall, -3006, EOutputBufferTooSmall, ESerialIO, "Output buffer too small for block") \
    C(ecBufferIsEmpty,        -3007, EBufferIsEmpty,        ESerialIO, "Buffer is empty") \
    C(ecTracingNotEnabled,    -3008, ETracingNotEnabled,    ESerialIO, "Tracing not enabled") \
    C(ecLoggingNotEnabled,    -3009, ELoggingNotEnabled,    ESerialIO, "Logging not enabled") \
    C(ecBaseAddressNotSet,    -3010, EBaseAddressNotSet,    ESerialIO, "Base address not set") \
    C(ecModemNotStarted,      -4001, EModemNotStarted,      EModem,    "Modem not started") \
    C(ecModemBusy,            -4002, EModemBusy,            EModem,    "Modem is busy") \
    C(ecModemNotDialing,      -4003, EModemNotDialing,      EModem,    "Modem is not dialing") \
    C(ecNotDialing,           -4004, ENotDialing,           EModem,    "Not dialing") \
    C(ecAlreadyDialing,       -4005, EAlreadyDialing,       EModem,    "Already dialing") \
    C(ecModemNotResponding,   -4006, EModemNotResponding,   EModem,    "Modem not responding") \
    C(ecModemRejectedCommand, -4007, EModemRejectedCommand, EModem,    "Modem rejected command") \
    C(ecModemStatusMismatch,  -4008, EModemStatusMismatch,  EModem,    "Modem status mismatch") \
    C(ecNoMoreTriggers,       -5001, ENoMoreTriggers,       ETrigger,  "No more trigger slots") \
    C(ecTriggerTooLong,       -5002, ETriggerTooLong,       ETrigger,  "Data trigger too long") \
    C(ecBadTriggerHandle,     -5003, EBadTriggerHandle,     ETrigger,  "Bad trigger handle") \
    C(ecKeyTooLong,           -7001, EKeyTooLong,           EINI,      "Key string too long") \
    C(ecDataTooLarge,         -7002, EDataTooLarge,         EINI,      "Data string too long") \
    C(ecIniWrite,             -7004, EIniWrite,             EINI,      "Error writing settings file") \
    C(ecIniRead,              -7005, EIniRead,              EINI,      "Error reading settings file") \
    C(ecRecordExists,         -7007, ERecordExists,         EINI,      "Record already exists") \
    C(ecRecordNotFound,       -7008, ERecordNotFound,       EINI,      "Record not found") \
    C(ecDatabaseFull,         -7009, EDatabaseFull,         EINI,      "Database is full") \
    C(ecDatabaseEmpty,        -7010, EDatabaseEmpty,        EINI,      "Database is empty") \
    C(ecBadFieldList,         -7013, EBadFieldList,         EINI,      "Bad field list") \
    C(ecBadFieldForIndex,     -7014, EBadFieldForIndex,     EINI,      "Bad field for index") \
    C(ecFaxBadFormat,         -8001, EFaxBadFormat,         EFax,      "Bad fax file format") \
    C(ecBadGraphicsFormat,    -8002, EBadGraphicsFormat,    EFax,      "Bad graphics format") \
    C(ecConvertAbort,         -8003, EConvertAbort,         EFax,      "Conversion aborted") \
    C(ecUnpackAbort,          -8004, EUnpackAbort,          EFax,      "Unpacking aborted") \
    C(ecCantMakeBitmap,       -8005, ECantMakeBitmap,       EFax,      "Cannot make bitmap") \
    C(ecInvalidPageNumber,    -8053, EInvalidPageNumber,    EFax,      "Invalid page number") \
    C(ecFaxBadMachine,        -8060, EFaxBadMachine,        EFax,      "Remote fax machine not compatible") \
    C(ecFaxBadModemResult,    -8061, EFaxBadModemResult,    EFax,      "Unexpected modem result") \
    C(ecFaxTrainError,        -8062, EFaxTrainError,        EFax,      "Fax training failed") \
    C(ecFaxInitError,         -8063, EFaxInitError,         EFax,      "Fax modem initialisation failed") \
    C(ecFaxBusy,              -8064, EFaxBusy,              EFax,      "Fax line busy") \
    C(ecFaxVoiceCall,         -8065, EFaxVoiceCall,         EFax,      "Voice call answered") \
    C(ecFaxDataCall,          -8066, EFaxDataCall,          EFax,      "Data call answered") \
    C(ecFaxNoDialTone,        -8067, EFaxNoDialTone,        EFax,      "No dial tone") \
    C(ecFaxNoFaxTone,         -8068, EFaxNoFaxTone,         EFax,      "No fax tone") \
    C(ecFaxSessionError,      -8069, EFaxSessionError,      EFax,      "Fax session error") \
    C(ecFaxPageError,         -8070, EFaxPageError,         EFax,      "Fax page error") \
    DRAVANE_PORT_TAPI_CODES(C) \
    C(ecRasLoadFail,         -13980, ERasLoadFail,          ERas,      "Unable to load the remote-access library")

// Telephony line errors: -13800 minus the interface's own error index.
#define DRAVANE_PORT_TAPI_CODES(C) \
    C(ecTapiAllocated,             -13801, ETapiAllocated,             ETapi, "Line or device already allocated") \
    C(ecTapiBadDeviceID,           -13802, ETapiBadDeviceID,           ETapi, "Bad device identifier") \
    C(ecTapiBearerModeUnavail,     -13803, ETapiBearerModeUnavail,     ETapi, "Bearer mode unavailable") \
    C(ecTapiCallUnavail,           -13805, ETapiCallUnavail,           ETapi, "Call unavailable") \
    C(ecTapiCompletionOverrun,     -13806, ETapiCompletionOverrun,     ETapi, "Completion overrun") \
    C(ecTapiConferenceFull,        -13807, ETapiConferenceFull,        ETapi, "Conference full") \
    C(ecTapiDialBilling,           -13808, ETapiDialBilling,           ETapi, "Dial billing not supported") \
    C(ecTapiDialDialtone,          -13809, ETapiDialDialtone,          ETapi, "Dial tone dialing not supported") \
    C(ecTapiDialPrompt,            -13810, ETapiDialPrompt,            ETapi, "Dial prompt not supported") \
    C(ecTapiDialQuiet,             -13811, ETapiDialQuiet,             ETapi, "Quiet dialing not supported") \
    C(ecTapiIncompatibleApiVersion,-13812, ETapiIncompatibleApiVersion,ETapi, "Incompatible interface version") \
    C(ecTapiIncompatibleExtVersion,-13813, ETapiIncompatibleExtVersion,ETapi, "Incompatible extension version") \
    C(ecTapiIniFileCorrupt,        -13814, ETapiIniFileCorrupt,        ETapi, "Telephony settings corrupt") \
    C(ecTapiInUse,                 -13815, ETapiInUse,                 ETapi, "Line in use") \
    C(ecTapiInvalAddress,          -13816, ETapiInvalAddress,          ETapi, "Invalid address") \
    C(ecTapiInvalAddressID,        -13817, ETapiInvalAddressID,        ETapi, "Invalid address identifier") \
    C(ecTapiInvalAddressMode,      -13818, ETapiInvalAddressMode,      ETapi, "Invalid address mode") \
    C(ecTapiInvalAddressState,     -13819, ETapiInvalAddressState,     ETapi, "Invalid address state") \
    C(ecTapiInvalAppHandle,        -13820, ETapiInvalAppHandle,        ETapi, "Invalid application handle") \
    C(ecTapiInvalAppName,          -13821, ETapiInvalAppName,          ETapi, "Invalid application name") \
    C(ecTapiInvalBearerMode,       -13822, ETapiInvalBearerMode,       ETapi, "Invalid bearer mode") \
    C(ecTapiInvalCallComplMode,    -13823, ETapiInvalCallComplMode,    ETapi, "Invalid call completion mode") \
    C(ecTapiInvalCallHandle,       -13824, ETapiInvalCallHandle,       ETapi, "Invalid call handle") \
    C(ecTapiInvalCallParams,       -13825, ETapiInvalCallParams,       ETapi, "Invalid call parameters") \
    C(ecTapiInvalCallPrivilege,    -13826, ETapiInvalCallPrivilege,    ETapi, "Invalid call privilege") \
    C(ecTapiInvalCallSelect,       -13827, ETapiInvalCallSelect,       ETapi, "Invalid call select") \
    C(ecTapiInvalCallState,        -13828, ETapiInvalCallState,        ETapi, "Invalid call state") \
    C(ecTapiInvalCallStateList,    -13829, ETapiInvalCallStateList,    ETapi, "Invalid call state list") \
    C(ecTapiInvalCard,             -13830, ETapiInvalCard,             ETapi, "Invalid calling card") \
    C(ecTapiInvalCompletionID,     -13831, ETapiInvalCompletionID,     ETapi, "Invalid completion identifier") \
    C(ecTapiInvalConfCallHandle,   -13832, ETapiInvalConfCallHandle,   ETapi, "Invalid conference call handle") \
    C(ecTapiInvalConsultCallHandle,-13833, ETapiInvalConsultCallHandle,ETapi, "Invalid consultation call handle") \
    C(ecTapiInvalCountryCode,      -13834, ETapiInvalCountryCode,      ETapi, "Invalid country code") \
    C(ecTapiInvalDeviceClass,      -13835, ETapiInvalDeviceClass,      ETapi, "Invalid device class") \
    C(ecTapiInvalDeviceHandle,     -13836, ETapiInvalDeviceHandle,     ETapi, "Invalid device handle") \
    C(ecTapiInvalDialParams,       -13837, ETapiInvalDialParams,       ETapi, "Invalid dial parameters") \
    C(ecTapiInvalDigitList,        -13838, ETapiInvalDigitList,        ETapi, "Invalid digit list") \
    C(ecTapiInvalDigitMode,        -13839, ETapiInvalDigitMode,        ETapi, "Invalid digit mode") \
    C(ecTapiInvalDigits,           -13840, ETapiInvalDigits,           ETapi, "Invalid digits") \
    C(ecTapiInvalExtVersion,       -13841, ETapiInvalExtVersion,       ETapi, "Invalid extension version") \
    C(ecTapiInvalGroupID,          -13842, ETapiInvalGroupID,          ETapi, "Invalid group identifier") \
    C(ecTapiInvalLineHandle,       -13843, ETapiInvalLineHandle,       ETapi, "Invalid line handle") \
    C(ecTapiInvalLineState,        -13844, ETapiInvalLineState,        ETapi, "Invalid line state") \
    C(ecTapiInvalLocation,         -13845, ETapiInvalLocation,         ETapi, "Invalid location") \
    C(ecTapiInvalMediaList,        -13846, ETapiInvalMediaList,        ETapi, "Invalid media list") \
    C(ecTapiInvalMediaMode,        -13847, ETapiInvalMediaMode,        ETapi, "Invalid media mode") \
    C(ecTapiInvalMessageID,        -13848, ETapiInvalMessageID,        ETapi, "Invalid message identifier") \
    C(ecTapiInvalParam,            -13850, ETapiInvalParam,            ETapi, "Invalid parameter") \
    C(ecTapiInvalParkID,           -13851, ETapiInvalParkID,           ETapi, "Invalid park identifier") \
    C(ecTapiInvalParkMode,         -13852, ETapiInvalParkMode,         ETapi, "Invalid park mode") \
    C(ecTapiInvalPointer,          -13853, ETapiInvalPointer,          ETapi, "Invalid pointer") \
    C(ecTapiInvalPrivSelect,       -13854, ETapiInvalPrivSelect,       ETapi, "Invalid privilege select") \
    C(ecTapiInvalRate,             -13855, ETapiInvalRate,             ETapi, "Invalid rate") \
    C(ecTapiInvalRequestMode,      -13856, ETapiInvalRequestMode,      ETapi, "Invalid request mode") \
    C(ecTapiInvalTerminalID,       -13857, ETapiInvalTerminalID,       ETapi, "Invalid terminal identifier") \
    C(ecTapiInvalTerminalMode,     -13858, ETapiInvalTerminalMode,     ETapi, "Invalid terminal mode") \
    C(ecTapiInvalTimeout,          -13859, ETapiInvalTimeout,          ETapi, "Invalid time-out") \
    C(ecTapiInvalTone,             -13860, ETapiInvalTone,             ETapi, "Invalid tone") \
    C(ecTapiInvalToneList,         -13861, ETapiInvalToneList,         ETapi, "Invalid tone list") \
    C(ecTapiInvalToneMode,         -13862, ETapiInvalToneMode,         ETapi, "Invalid tone mode") \
    C(ecTapiInvalTransferMode,     -13863, ETapiInvalTransferMode,     ETapi, "Invalid transfer mode") \
    C(ecTapiLineMapperFailed,      -13864, ETapiLineMapperFailed,      ETapi, "Line mapper failed") \
    C(ecTapiNoConference,          -13865, ETapiNoConference,          ETapi, "No conference") \
    C(ecTapiNoDevice,              -13866, ETapiNoDevice,              ETapi, "No device") \
    C(ecTapiNoDriver,              -13867, ETapiNoDriver,              ETapi, "No driver") \
    C(ecTapiNoMem,                 -13868, ETapiNoMem,                 ETapi, "Not enough memory") \
    C(ecTapiNoRequest,             -13869, ETapiNoRequest,             ETapi, "No request") \
    C(ecTapiNotOwner,              -13870, ETapiNotOwner,              ETapi, "Not owner") \
    C(ecTapiNotRegistered,         -13871, ETapiNotRegistered,         ETapi, "Not registered") \
    C(ecTapiOperationFailed,       -13872, ETapiOperationFailed,       ETapi, "Operation failed") \
    C(ecTapiOperationUnavail,      -13873, ETapiOperationUnavail,      ETapi, "Operation unavailable") \
    C(ecTapiRateUnavail,           -13874, ETapiRateUnavail,           ETapi, "Rate unavailable") \
    C(ecTapiResourceUnavail,       -13875, ETapiResourceUnavail,       ETapi, "Resource unavailable") \
    C(ecTapiRequestOverrun,        -13876, ETapiRequestOverrun,        ETapi, "Request overrun") \
    C(ecTapiStructureTooSmall,     -13877, ETapiStructureTooSmall,     ETapi, "Structure too small") \
    C(ecTapiTargetNotFound,        -13878, ETapiTargetNotFound,        ETapi, "Target not found") \
    C(ecTapiTargetSelf,            -13879, ETapiTargetSelf,            ETapi, "Target is self") \
    C(ecTapiUninitialized,         -13880, ETapiUninitialized,         ETapi, "Telephony not initialised") \
    C(ecTapiUserUserInfoTooBig,    -13881, ETapiUserUserInfoTooBig,    ETapi, "User information too big") \
    C(ecTapiReinit,                -13882, ETapiReinit,                ETapi, "Telephony reinitialising") \
    C(ecTapiAddressBlocked,        -13883, ETapiAddressBlocked,        ETapi, "Address blocked") \
    C(ecTapiBillingRejected,       -13884, ETapiBillingRejected,       ETapi, "Billing rejected") \
    C(ecTapiInvalFeature,          -13885, ETapiInvalFeature,          ETapi, "Invalid feature") \
    C(ecTapiNoMultipleInstance,    -13886, ETapiNoMultipleInstance,    ETapi, "Multiple instances not allowed") \
    C(ecTapiTranslateFail,         -13942, ETapiTranslateFail,         ETapi, "Unable to translate number")

// Operating-system and file codes raise the input/output exception (or, for
// -8, the out-of-memory exception); the two codes of the serial families named
// here raise the generic port exception.
#define DRAVANE_PORT_NAMED_CODES(N) \
    N(ecFileNotFound,      -2, "File not found") \
    N(ecPathNotFound,      -3, "Path not found") \
    N(ecTooManyFiles,      -4, "Too many open files") \
    N(ecFileAccessDenied,  -5, "File access denied") \
    N(ecInvalidHandle,     -6, "Invalid file handle") \
    N(ecOutOfMemory,       -8, "Insufficient memory") \
    N(ecInvalidDrive,     -15, "Invalid drive") \
    N(ecNoMoreFiles,      -18, "No more files") \
    N(ecDiskRead,        -100, "Attempt to read beyond end of file") \
    N(ecDiskFull,        -101, "Disk is full") \
    N(ecNotAssigned,     -102, "File/device not assigned") \
    N(ecNotOpen,         -103, "File/device not open") \
    N(ecNotOpenInput,    -104, "File/device not open for input") \
    N(ecNotOpenOutput,   -105, "File/device not open for output") \
    N(ecWriteProtected,  -150, "Disk is write-protected") \
    N(ecUnknownUnit,     -151, "Unknown disk unit") \
    N(ecDriveNotReady,   -152, "Drive is not ready") \
    N(ecUnknownCommand,  -153, "Unknown command") \
    N(ecCrcError,        -154, "Data error") \
    N(ecBadStructLen,    -155, "Bad request structure length") \
    N(ecSeekError,       -156, "Seek error") \
    N(ecUnknownMedia,    -157, "Unknown media type") \
    N(ecSectorNotFound,  -158, "Disk sector not found") \
    N(ecOutOfPaper,      -159, "Printer is out of paper") \
    N(ecDeviceWrite,     -160, "Device write error") \
    N(ecDeviceRead,      -161, "Device read error") \
    N(ecHardwareFailure, -162, "General failure") \
    N(ecBadHandle,      -1001, "Bad handle passed to com function") \
    N(ecNotSupported,   -3002, "Function not supported by driver")

// Unnamed codes that raise a class shared with other codes.
#define DRAVANE_PORT_SHARED_CLASS_CODES(R) \
    R(-6006, EProtocol, "Protocol error: bad block") \
    R(-6008, EProtocol, "Protocol error: bad check value") \
    R(-6009, EProtocol, "Protocol error: bad file position") \
    R(-7003, EInternal, "Settings database internal error") \
    R(-7006, EInternal, "Settings database index error") \
    R(-7012, EInternal, "Settings database field error")

// Socket layer (9001 ...) and socket library (10004 ... 11004) codes: positive
// numbers, looked up like every other code. wsaNo_Address shares 11004 with
// wsaNo_Data and is declared beside the list.
#define DRAVANE_PORT_SOCKET_CODES(S) \
    S(ecWSERROR,          9001, "Vexo Error") \
    S(ecWSLOADERROR,      9002, "Error loading Winsock DLL") \
    S(ecWSVERSIONERROR,   9003, "Incorrect version of Winsock") \
    S(ecWSNOTINIT,        9004, "Winsock not initialized - %s") \
    S(ecWSINVPORT,        9005, "Specified port is not valid") \
    S(ecWSCANTCHANGE,     9006, "Cannot change parameter while socket is connected") \
    S(ecWSCANTRESOLVE,    9007, "Cannot resolve destination address") \
    S(wsaEIntr,          10004, "The call was interrupted") \
    S(wsaEBadF,          10009, "Bad socket descriptor") \
    S(wsaEAcces,         10013, "Permission denied for this operation") \
    S(wsaEFault,         10014, "Bad address passed to the socket library") \
    S(wsaEInVal,         10022, "Invalid argument for this operation") \
    S(wsaEMFile,         10024, "Too many open sockets") \
    S(wsaEWouldBlock,    10035, "Warning : the socket would block on this call") \
    S(wsaEInProgress,    10036, "A blocking operation is in progress") \
    S(wsaEAlReady,       10037, "The operation is already in progress") \
    S(wsaENotSock,       10038, "The descriptor is not a socket") \
    S(wsaEDestAddrReq,   10039, "The destination address is required for this operation") \
    S(wsaEMsgSize,       10040, "The message is too long") \
    S(wsaEPrototype,     10041, "Wrong protocol type for this socket") \
    S(wsaENoProtoOpt,    10042, "Protocol option not available") \
    S(wsaEProtoNoSupport,10043, "Protocol not supported") \
    S(wsaESocktNoSupport,10044, "Socket type not supported") \
    S(wsaEOpNotSupp,     10045, "Operation not supported on this socket") \
    S(wsaEPfNoSupport,   10046, "Protocol family not supported") \
    S(wsaEAfNoSupport,   10047, "Address family not supported") \
    S(wsaEAddrInUse,     10048, "The address is already in use for this operation") \
    S(wsaEAddrNotAvail,  10049, "The address is not available from this machine") \
    S(wsaENetDown,       10050, "The network subsystem has failed") \
    S(wsaENetUnreach,    10051, "The network is unreachable from this machine at this time") \
    S(wsaENetReset,      10052, "The network has been reset") \
    S(wsaEConnAborted,   10053, "The virtual circuit has been aborted due to timeout, etc") \
    S(wsaEConnReset,     10054, "The virtual circuit has been reset by the partner") \
    S(wsaENoBufs,        10055, "No buffer space available") \
    S(wsaEIsConn,        10056, "The socket is already connected") \
    S(wsaENotConn,       10057, "The socket is not connected") \
    S(wsaEShutDown,      10058, "The socket has been shutdown") \
    S(wsaETooManyRefs,   10059, "Too many references") \
    S(wsaETimedOut,      10060, "The operation timed out") \
    S(wsaEConnRefused,   10061, "The attempt to connect was forcibly refused") \
    S(wsaELoop,          10062, "Too many levels of symbolic links") \
    S(wsaENameTooLong,   10063, "The name is too long") \
    S(wsaEHostDown,      10064, "The host machine is down") \
    S(wsaEHostUnreach,   10065, "The host machine is unreachable") \
    S(wsaENotEmpty,      10066, "Directory not empty") \
    S(wsaEProcLim,       10067, "Too many processes") \
    S(wsaEUsers,         10068, "Too many users") \
    S(wsaEDQuot,         10069, "Disk quota exceeded") \
    S(wsaEStale,         10070, "Stale file handle") \
    S(wsaERemote,        10071, "Too many levels of remote in path") \
    S(wsaSysNotReady,    10091, "Network subsystem unusable") \
    S(wsaVerNotSupported,10092, "Version requested by WSAStartUp not supported by loaded Winsock DLL") \
    S(wsaNotInitialised, 10093, "WSAStartUp not yet called") \
    S(wsaEDiscOn,        10101, "The peer is disconnecting") \
    S(wsaHost_Not_Found, 11001, "Host not found") \
    S(wsaTry_Again,      11002, "Host not found, or SERVERFAIL, can try again") \
    S(wsaNo_Recovery,    11003, "Non recoverable errors, FORMERR, REFUSED, NOTIMP") \
    S(wsaNo_Data,        11004, "Valid name, but no data record of requested type")

// Numbers that only have a text: the free-worded codes of the named ranges and
// the status texts sharing the number space (dialer and fax status 4101 ..., call
// states 13501 ..., dispatch-log labels 15001 ... (types) and 15101 ... (sub-types),
// telnet option names 15700 + option).
#define DRAVANE_PORT_TEXTS(T) \
    T( -4009, "Modem reported an error") \
    T( -4010, "Modem did not connect") \
    T( -4011, "Modem is off-hook") \
    T( -4012, "Modem detected no dial tone") \
    T( -4013, "Line is busy") \
    T( -4014, "No answer") \
    T( -4015, "Modem detected voice") \
    T( -4016, "Modem detected no carrier") \
    T( -4017, "Dial command too long") \
    T( -4018, "Modem not configured") \
    T( -4019, "Modem initialisation failed") \
    T( -4020, "Modem detected a fax call") \
    T( -4021, "Modem hung up") \
    T(  4101, "Dialing") \
    T(  4102, "Waiting for connection") \
    T(  4103, "Connected") \
    T(  4104, "Dial failed") \
    T(  4105, "Redialing") \
    T(  4106, "Dialer cancelled") \
    T(  4201, "Paging started") \
    T(  4202, "Page sent") \
    T(  4203, "Paging failed") \
    T(  4501, "Protocol transfer started") \
    T(  4502, "Protocol transfer complete") \
    T(  4503, "Protocol transfer failed") \
    T(  4801, "Fax session started") \
    T(  4802, "Fax page sent") \
    T(  4803, "Fax page received") \
    T(  4843, "Fax session complete") \
    T( -5501, "Packet start string not found") \
    T( -5502, "Packet end string not found") \
    T( -5503, "Packet size exceeded") \
    T( -5504, "Packet timed out") \
    T( -5505, "Packet disabled") \
    T( -5506, "Packet buffer too small") \
    T( -6001, "Protocol timed out") \
    T( -6002, "Too many protocol errors") \
    T( -6003, "Sequence error") \
    T( -6004, "Block check error") \
    T( -6005, "Protocol cancelled by remote") \
    T( -6007, "Protocol cancelled locally") \
    T( -6010, "Duplicate block received") \
    T( -6011, "Unexpected block received") \
    T( -6012, "File already exists") \
    T( -6013, "File not found for transfer") \
    T( -6014, "Unable to open transfer file") \
    T( -6015, "Transfer file write error") \
    T( -6016, "Transfer file read error") \
    T( -7011, "Bad record index") \
    T( -7500, "State machine not started") \
    T( -7501, "State machine already started") \
    T( -7502, "State machine has no states") \
    T( -8006, "Font file not found") \
    T( -8007, "Bad font format") \
    T( -8008, "Fax file not found") \
    T( -8050, "Fax printer driver not installed") \
    T( -8051, "Fax printer driver busy") \
    T( -8052, "Fax printer driver error") \
    T( -8054, "Fax cover page not found") \
    T( -8055, "Fax page too large") \
    T( -8500, "Short message rejected") \
    T( 13501, "Call idle") \
    T( 13502, "Call offering") \
    T( 13503, "Call accepted") \
    T( 13504, "Dial tone") \
    T( 13505, "Dialing") \
    T( 13506, "Ringback") \
    T( 13507, "Busy") \
    T( 13508, "Special information") \
    T( 13509, "Connected") \
    T( 13510, "Proceeding") \
    T( 13511, "On hold") \
    T( 13512, "Conferenced") \
    T( 13513, "On hold, conference pending") \
    T( 13514, "On hold, transfer pending") \
    T( 13515, "Disconnected") \
    T( 13516, "Unknown call state") \
    T(-13804, "Telephony error 13804") \
    T(-13849, "Telephony error 13849") \
    T(-13887, "Telephony error 13887") \
    T(-13888, "Telephony error 13888") \
    T(-13889, "Telephony error 13889") \
    T(-13890, "Telephony error 13890") \
    T(-13891, "Telephony error 13891") \
    T(-13892, "Telephony error 13892") \
    T(-13893, "Telephony error 13893") \
    T(-13894, "Telephony error 13894") \
    T(-13895, "Telephony error 13895") \
    T(-13896, "Telephony error 13896") \
    T(-13897, "Telephony error 13897") \
    T(-13898, "Telephony error 13898") \
    T(-13899, "Telephony error 13899") \
    T(-13900, "Telephony error 13900") \
    T(-13901, "Telephony error 13901") \
    T(-13902, "Telephony error 13902") \
    T(-13903, "Telephony error 13903") \
    T(-13904, "Telephony error 13904") \
    T(-13905, "Telephony error 13905") \
    T(-13906, "Telephony error 13906") \
    T(-13907, "Telephony error 13907") \
    T(-13908, "Telephony error 13908") \
    T(-13909, "Telephony error 13909") \
    T(-13910, "Telephony error 13910") \
    T(-13911, "Telephony error 13911") \
    T(-13912, "Telephony error 13912") \
    T(-13913, "Telephony error 13913") \
    T(-13914, "Telephony error 13914") \
    T(-13915, "Telephony error 13915") \
    T(-13916, "Telephony error 13916") \
    T(-13917, "Telephony error 13917") \
    T(-13918, "Telephony error 13918") \
    T(-13919, "Telephony error 13919") \
    T(-13920, "Telephony error 13920") \
    T(-13921, "Telephony error 13921") \
    T(-13922, "Telephony error 13922") \
    T(-13923, "Telephony error 13923") \
    T(-13924, "Telephony error 13924") \
    T(-13925, "Telephony error 13925") \
    T(-13926, "Telephony error 13926") \
    T(-13927, "Telephony error 13927") \
    T(-13928, "Telephony error 13928") \
    T(-13929, "Telephony error 13929") \
    T(-13930, "Telephony error 13930") \
    T(-13931, "Telephony error 13931") \
    T(-13932, "Telephony error 13932") \
    T(-13933, "Telephony error 13933") \
    T(-13934, "Telephony error 13934") \
    T(-13935, "Telephony error 13935") \
    T(-13936, "Telephony error 13936") \
    T(-13937, "Telephony error 13937") \
    T(-13938, "Telephony error 13938") \
    T(-13939, "Telephony error 13939") \
    T(-13940, "Telephony error 13940") \
    T(-13941, "Telephony error 13941") \
    T(-13943, "Telephony error 13943") \
    T(-13944, "Telephony error 13944") \
    T(-13945, "Telephony error 13945") \
    T(-13946, "Telephony error 13946") \
    T(-13947, "Telephony error 13947") \
    T(-13948, "Telephony error 13948") \
    T(-13949, "Telephony error 13949") \
    T(-13950, "Telephony error 13950") \
    T(-13951, "Telephony error 13951") \
    T(-13952, "Telephony error 13952") \
    T(-13953, "Telephony error 13953") \
    T(-13954, "Telephony error 13954") \
    T(-13955, "Telephony error 13955") \
    T(-13956, "Telephony error 13956") \
    T(-13957, "Telephony error 13957") \
    T(-13958, "Telephony error 13958") \
    T(-13959, "Telephony error 13959") \
    T( 15001, "Dispatch") \
    T( 15002, "Trigger") \
    T( 15003, "Error") \
    T( 15004, "Thread") \
    T( 15005, "Telnet") \
    T( 15006, "User") \
    T( 15007, "Serial event") \
    T( 15008, "Status") \
    T( 15101, "None") \
    T( 15102, "Command") \
    T( 15103, "Received WILL") \
    T( 15104, "Received WONT") \
    T( 15105, "Received DO") \
    T( 15106, "Received DONT") \
    T( 15107, "Sent WILL") \
    T( 15108, "Sent WONT") \
    T( 15109, "Sent DO") \
    T( 15110, "Sent DONT") \
    T( 15111, "Sent terminal type") \
    T( 15700, "Binary Transmission") \
    T( 15701, "Echo") \
    T( 15702, "Reconnection") \
    T( 15703, "Suppress Go Ahead") \
    T( 15704, "Approx Message Size Negotiation") \
    T( 15705, "Status") \
    T( 15706, "Timing Mark") \
    T( 15707, "Remote Controlled Trans and Echo") \
    T( 15708, "Output Line Width") \
    T( 15709, "Output Page Size") \
    T( 15710, "Output Carriage-Return Disposition") \
    T( 15711, "Output Horizontal Tab Stops") \
    T( 15712, "Output Horizontal Tab Disposition") \
    T( 15713, "Output Formfeed Disposition") \
    T( 15714, "Output Vertical Tabstops") \
    T( 15715, "Output Vertical Tab Disposition") \
    T( 15716, "Output Linefeed Disposition") \
    T( 15717, "Extended ASCII") \
    T( 15718, "Logout") \
    T( 15719, "Byte Macro") \
    T( 15720, "Data Entry Terminal") \
    T( 15721, "SUPDUP") \
    T( 15722, "SUPDUP Output") \
    T( 15723, "Send Location") \
    T( 15724, "Terminal Type") \
    T( 15725, "End of Record") \
    T( 15726, "TACACS User Identification") \
    T( 15727, "Output Marking") \
    T( 15728, "Terminal Location Number") \
    T( 15729, "Telnet 3270 Regime") \
    T( 15730, "X.3 PAD") \
    T( 15731, "Negotiate About Window Size") \
    T( 15732, "Terminal Speed") \
    T( 15733, "Remote Flow Control") \
    T( 15734, "Linemode") \
    T( 15735, "X Display Location") \
    T( 15736, "Environment Option") \
    T( 15737, "Authentication Option") \
    T( 15738, "Encryption Option") \
    T( 15739, "New Environment Option") \
    T( 15740, "TN3270E") \
    T( 15741, "XAUTH") \
    T( 15742, "CHARSET")

// clang-format on
