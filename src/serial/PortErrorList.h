#pragma once
// The one table of port result codes, their texts and the exception class each
// code raises. Everything else (the ec constants, the exception classes, the
// code-to-class mapping and the message table) is generated from these lists,
// so a code, its text and its class can never drift apart.
//
// Lists:
//   DRAVANE_PORT_GROUP_CLASSES(G)    G(Class)                        family classes, each an EPortException
//   DRAVANE_PORT_CLASSED_CODES(C)    C(Name, Code, Class, Group, Text) a code with a class of its own
//   DRAVANE_PORT_NAMED_CODES(N)      N(Name, Code, Text)             a named code without a class of its own
//   DRAVANE_PORT_SHARED_CLASS_CODES(R) R(Code, Class, Text)          an unnamed code raising an existing
//   class DRAVANE_PORT_SOCKET_CODES(S)     S(Name, Code, Text)             positive socket-layer and
//   socket-library codes DRAVANE_PORT_TEXTS(T)            T(Number, Text)                 numbers that only
//   have a text

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

// clang-format on
