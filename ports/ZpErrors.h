// Error codes of the port library, the exceptions they become, and their messages.
// One list (ZP_ERROR_LIST) declares the exception classes, fills the message table and
// maps each code to the class that CheckException raises.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

// The exception every port-library failure raises (directly or through a subclass).
class EZPException : public std::runtime_error {
  public:
    // ErrorCode := code; the message is ZpLoadStr(|code|). The flag has no effect.
    explicit EZPException(int32_t code, bool flag = false);
    // A ready message; ErrorCode stays 0. The byte has no effect.
    explicit EZPException(const std::string& message, uint8_t dummy = 0);
    int32_t ErrorCode = 0;
    static int32_t MapCodeToStringID(int32_t code) { return code < 0 ? -code : code; }
};

// The run-time library's I/O error for codes -2 .. -162 (ErrorCode is the positive code).
class EInOutError : public std::runtime_error {
  public:
    EInOutError(const std::string& message, int32_t code) : std::runtime_error(message), ErrorCode(code) {}
    int32_t ErrorCode;
};

// Failures of the network layer (positive codes 9001.. and socket errors 10000..).
class EZpSocketException : public std::runtime_error {
  public:
    // Message 9004 ("Winsock not initialized - %s") with the message of errCode inserted.
    EZpSocketException(int32_t errCode, bool dummy);
    // The message of errCode alone.
    EZpSocketException(int32_t errCode, bool dummy1, bool dummy2);
    explicit EZpSocketException(int32_t errCode) : EZpSocketException(errCode, false, false) {}
    int32_t ErrorCode;
};

// CLASS(name, parent): an exception class. CODE(code, class, text): a table entry that
// CheckException raises as that class. TEXT(code, text): a table entry without a class of
// its own (CheckException falls back to "Port exception" for a negative one).
#define ZP_ERROR_LIST(CLASS, CODE, TEXT)                                                      \
    CLASS(EGeneral, EZPException)                                                             \
    CLASS(EOpenComm, EZPException)                                                            \
    CLASS(ESerialIO, EZPException)                                                            \
    CLASS(EModem, EZPException)                                                               \
    CLASS(ETrigger, EZPException)                                                             \
    CLASS(EPacket, EZPException)                                                              \
    CLASS(EProtocol, EZPException)                                                            \
    CLASS(EINI, EZPException)                                                                 \
    CLASS(EFax, EZPException)                                                                 \
    CLASS(ETapi, EZPException)                                                                \
    CLASS(ERas, EZPException)                                                                 \
    CLASS(EZpTerminal, EZPException)                                                          \
    CLASS(EXML, EZPException)                                                                 \
    CLASS(EStateMachine, EZPException)                                                        \
    CLASS(EBadArgument, EGeneral)                                                             \
    CLASS(EGotQuitMsg, EGeneral)                                                              \
    CLASS(EBufferTooBig, EGeneral)                                                            \
    CLASS(EPortNotAssigned, EGeneral)                                                         \
    CLASS(EInternal, EGeneral)                                                                \
    CLASS(EModemNotAssigned, EGeneral)                                                        \
    CLASS(EPhonebookNotAssigned, EGeneral)                                                    \
    CLASS(ECannotUseWithWinSock, EGeneral)                                                    \
    CLASS(EBadId, EOpenComm)                                                                  \
    CLASS(EBaudRate, EOpenComm)                                                               \
    CLASS(EByteSize, EOpenComm)                                                               \
    CLASS(EDefault, EOpenComm)                                                                \
    CLASS(EHardware, EOpenComm)                                                               \
    CLASS(EMemory, EOpenComm)                                                                 \
    CLASS(ECommNotOpen, EOpenComm)                                                            \
    CLASS(EAlreadyOpen, EOpenComm)                                                            \
    CLASS(ENoHandles, EOpenComm)                                                              \
    CLASS(ENoTimers, EOpenComm)                                                               \
    CLASS(ENoPortSelected, EOpenComm)                                                         \
    CLASS(ENotOpenedByTapi, EOpenComm)                                                        \
    CLASS(ENullApi, ESerialIO)                                                                \
    CLASS(ERegisterHandlerFailed, ESerialIO)                                                  \
    CLASS(EPutBlockFail, ESerialIO)                                                           \
    CLASS(EGetBlockFail, ESerialIO)                                                           \
    CLASS(EOutputBufferTooSmall, ESerialIO)                                                   \
    CLASS(EBufferIsEmpty, ESerialIO)                                                          \
    CLASS(ETracingNotEnabled, ESerialIO)                                                      \
    CLASS(ELoggingNotEnabled, ESerialIO)                                                      \
    CLASS(EBaseAddressNotSet, ESerialIO)                                                      \
    CLASS(EModemNotStarted, EModem)                                                           \
    CLASS(EModemBusy, EModem)                                                                 \
    CLASS(EModemNotDialing, EModem)                                                           \
    CLASS(EModemNotResponding, EModem)                                                        \
    CLASS(EModemRejectedCommand, EModem)                                                      \
    CLASS(EModemStatusMismatch, EModem)                                                       \
    CLASS(EAlreadyDialing, EModem)                                                            \
    CLASS(ENotDialing, EModem)                                                                \
    CLASS(EDeviceNotSelected, EModem)                                                         \
    CLASS(EModemDetectedBusy, EModem)                                                         \
    CLASS(ENoDialtone, EModem)                                                                \
    CLASS(ENoCarrier, EModem)                                                                 \
    CLASS(ENoAnswer, EModem)                                                                  \
    CLASS(ENoMoreTriggers, ETrigger)                                                          \
    CLASS(ETriggerTooLong, ETrigger)                                                          \
    CLASS(EBadTriggerHandle, ETrigger)                                                        \
    CLASS(EInvalidProperty, EPacket)                                                          \
    CLASS(EStringSizeError, EPacket)                                                          \
    CLASS(ETimeout, EProtocol)                                                                \
    CLASS(ETooManyErrors, EProtocol)                                                          \
    CLASS(ESequenceError, EProtocol)                                                          \
    CLASS(EKeyTooLong, EINI)                                                                  \
    CLASS(EDataTooLarge, EINI)                                                                \
    CLASS(EIniWrite, EINI)                                                                    \
    CLASS(EIniRead, EINI)                                                                     \
    CLASS(ERecordExists, EINI)                                                                \
    CLASS(ERecordNotFound, EINI)                                                              \
    CLASS(EDatabaseFull, EINI)                                                                \
    CLASS(EDatabaseEmpty, EINI)                                                               \
    CLASS(EBadFieldList, EINI)                                                                \
    CLASS(EBadFieldForIndex, EINI)                                                            \
    CLASS(EFaxBadFormat, EFax)                                                                \
    CLASS(EBadGraphicsFormat, EFax)                                                           \
    CLASS(EConvertAbort, EFax)                                                                \
    CLASS(EUnpackAbort, EFax)                                                                 \
    CLASS(ECantMakeBitmap, EFax)                                                              \
    CLASS(EInvalidPageNumber, EFax)                                                           \
    CLASS(EFaxBadMachine, EFax)                                                               \
    CLASS(EFaxBadModemResult, EFax)                                                           \
    CLASS(EFaxTrainError, EFax)                                                               \
    CLASS(EFaxInitError, EFax)                                                                \
    CLASS(EFaxBusy, EFax)                                                                     \
    CLASS(EFaxVoiceCall, EFax)                                                                \
    CLASS(EFaxDataCall, EFax)                                                                 \
    CLASS(EFaxNoDialTone, EFax)                                                               \
    CLASS(EFaxNoCarrier, EFax)                                                                \
    CLASS(EFaxSessionError, EFax)                                                             \
    CLASS(EFaxPageError, EFax)                                                                \
    CLASS(ENoImageLoaded, EFax)                                                               \
    CLASS(EAlreadyMonitored, EFax)                                                            \
    CLASS(ENoImageBlockMarked, EFax)                                                          \
    CLASS(ETapiBearerModeUnavail, ETapi)                                                      \
    CLASS(ETapiUnexpected, ETapi)                                                             \
    CLASS(EVoIPNotSupported, ETapi)                                                           \
    CLASS(ERasLoadFail, ERas)                                                                 \
    CLASS(EZpTermRangeError, EZpTerminal)                                                     \
    CLASS(EZpTermInvalidParameter, EZpTerminal)                                               \
    CLASS(EZpTermTooLarge, EZpTerminal)                                                       \
    TEXT(0, "OK")                                                                             \
    TEXT(-2, "File not found")                                                                \
    TEXT(-3, "Path not found")                                                                \
    TEXT(-4, "Too many open files")                                                           \
    TEXT(-5, "File access denied")                                                            \
    TEXT(-6, "Invalid file handle")                                                           \
    TEXT(-8, "Insufficient memory")                                                           \
    TEXT(-15, "Invalid drive number")                                                         \
    TEXT(-18, "No more files")                                                                \
    TEXT(-100, "Disk read error")                                                             \
    TEXT(-101, "Disk write error")                                                            \
    TEXT(-102, "File not assigned")                                                           \
    TEXT(-103, "File not open")                                                               \
    TEXT(-104, "File not open for input")                                                     \
    TEXT(-105, "File not open for output")                                                    \
    TEXT(-150, "Disk is write-protected")                                                     \
    TEXT(-151, "Unknown unit")                                                                \
    TEXT(-152, "Drive not ready")                                                             \
    TEXT(-153, "Unknown command")                                                             \
    TEXT(-154, "Data error (CRC)")                                                            \
    TEXT(-155, "Bad request structure length")                                                \
    TEXT(-156, "Disk seek error")                                                             \
    TEXT(-157, "Unknown media type")                                                          \
    TEXT(-158, "Sector not found")                                                            \
    TEXT(-159, "Printer out of paper")                                                        \
    TEXT(-160, "Device write fault")                                                          \
    TEXT(-161, "Device read fault")                                                           \
    TEXT(-162, "Hardware failure")                                                            \
    TEXT(-1001, "Bad handle passed to com function")                                          \
    CODE(-1002, EBadArgument, "Bad argument passed to function")                              \
    CODE(-1003, EGotQuitMsg, "Application received a quit message")                           \
    TEXT(-1004, "Buffer too big")                                                             \
    CODE(-1005, EPortNotAssigned, "ComPort component not assigned")                           \
    CODE(-1006, EInternal, "Internal error creating window class")                            \
    CODE(-1007, EModemNotAssigned, "Modem component not assigned")                            \
    CODE(-1008, EPhonebookNotAssigned, "Phonebook component not assigned")                    \
    TEXT(-1009, "Cannot be used with a network port")                                         \
    CODE(-2001, EBadId, "ie_BadId - Specified comport doesn't exist")                         \
    CODE(-2002, EBaudRate, "ie_Baudrate - unsupported baud rate")                             \
    CODE(-2003, EByteSize, "ie_Bytesize - invalid byte size")                                 \
    CODE(-2004, EDefault, "ie_Default - error in default parameters")                         \
    CODE(-2005, EHardware, "ie_Hardware - Specified comport in use")                          \
    CODE(-2006, EMemory, "ie_Memory - unable to allocate queues")                             \
    CODE(-2007, ECommNotOpen, "ie_NOpen - device not open")                                   \
    CODE(-2008, EAlreadyOpen, "ie_Open - device already open")                                \
    CODE(-2009, ENoHandles, "No more handles, can't open port")                               \
    CODE(-2010, ENoTimers, "No timers available")                                             \
    CODE(-2011, ENoPortSelected, "The ComNumber property of the TZpComPort has not been set") \
    CODE(-2012, ENotOpenedByTapi, "Comport was not opened by Tapi")                           \
    CODE(-3001, ENullApi, "No device layer specified")                                        \
    TEXT(-3002, "Function not supported by driver")                                           \
    CODE(-3003, ERegisterHandlerFailed, "EnableCommNotification failed")                      \
    CODE(-3004, EPutBlockFail, "Failed to put entire block")                                  \
    CODE(-3005, EGetBlockFail, "Failed to get entire block")                                  \
    CODE(-3006, EOutputBufferTooSmall, "Output buffer too small for block")                   \
    CODE(-3007, EBufferIsEmpty, "Buffer is empty")                                            \
    CODE(-3008, ETracingNotEnabled, "Tracing not enabled")                                    \
    CODE(-3009, ELoggingNotEnabled, "Logging not enabled")                                    \
    CODE(-3010, EBaseAddressNotSet, "Base address not set")                                   \
    CODE(-4001, EModemNotStarted, "Modem not started")                                        \
    CODE(-4002, EModemBusy, "Modem is busy")                                                  \
    CODE(-4003, EModemNotDialing, "Modem is not dialing")                                     \
    CODE(-4004, ENotDialing, "Not dialing")                                                   \
    TEXT(-4005, "Already dialing")                                                            \
    CODE(-4006, EModemNotResponding, "Modem is not responding")                               \
    CODE(-4007, EModemRejectedCommand, "Modem rejected the command")                          \
    TEXT(-4008, "Modem status mismatch")                                                      \
    CODE(-5001, ENoMoreTriggers, "No more trigger slots")                                     \
    CODE(-5002, ETriggerTooLong, "Data trigger too long")                                     \
    TEXT(-5003, "Bad trigger handle")                                                         \
    TEXT(-5501, "No start string")                                                            \
    TEXT(-5502, "Start string longer than the packet size")                                   \
    TEXT(-5503, "Packet without an end condition")                                            \
    TEXT(-5504, "No end string")                                                              \
    TEXT(-5505, "Packet size is zero")                                                        \
    TEXT(-5506, "Packet string too long")                                                     \
    CODE(-6006, EProtocol, "Protocol error")                                                  \
    CODE(-6008, EProtocol, "Protocol sequence error")                                         \
    CODE(-6009, EProtocol, "Protocol time-out")                                               \
    CODE(-7001, EKeyTooLong, "Key too long")                                                  \
    CODE(-7003, EInternal, "Internal database error")                                         \
    CODE(-7004, EIniWrite, "Error writing the settings file")                                 \
    CODE(-7005, EIniRead, "Error reading the settings file")                                  \
    CODE(-7006, EInternal, "Internal database error")                                         \
    CODE(-7008, ERecordNotFound, "Record not found")                                          \
    CODE(-7010, EDatabaseFull, "Database full")                                               \
    CODE(-7011, EDatabaseEmpty, "Database empty")                                             \
    CODE(-7012, EInternal, "Internal database error")                                         \
    CODE(-7014, EBadFieldForIndex, "Bad field for index")                                     \
    CODE(-8001, EFaxBadFormat, "Bad fax format")                                              \
    CODE(-8002, EBadGraphicsFormat, "Bad graphics format")                                    \
    CODE(-8003, EConvertAbort, "Conversion aborted")                                          \
    CODE(-8004, EUnpackAbort, "Unpack aborted")                                               \
    CODE(-8005, ECantMakeBitmap, "Cannot make bitmap")                                        \
    CODE(-8053, EInvalidPageNumber, "Invalid page number")                                    \
    CODE(-8060, EFaxBadMachine, "Incompatible fax machine")                                   \
    CODE(-8061, EFaxBadModemResult, "Bad modem result")                                       \
    CODE(-8062, EFaxTrainError, "Fax training error")                                         \
    CODE(-8063, EFaxInitError, "Fax initialisation error")                                    \
    CODE(-8064, EFaxBusy, "Fax line busy")                                                    \
    CODE(-8065, EFaxVoiceCall, "Voice call")                                                  \
    CODE(-8066, EFaxDataCall, "Data call")                                                    \
    CODE(-8067, EFaxNoDialTone, "No dial tone")                                               \
    CODE(-8068, EFaxNoCarrier, "No carrier")                                                  \
    CODE(-8069, EFaxSessionError, "Fax session error")                                        \
    CODE(-8070, EFaxPageError, "Fax page error")                                              \
    TEXT(4200, "")                                                                            \
    TEXT(4600, "")                                                                            \
    TEXT(4630, "")                                                                            \
    TEXT(4660, "")                                                                            \
    TEXT(4725, "")                                                                            \
    TEXT(4726, "")                                                                            \
    TEXT(4727, "")                                                                            \
    TEXT(4728, "")                                                                            \
    TEXT(4730, "")                                                                            \
    TEXT(9001, "Port library error")                                                          \
    TEXT(9002, "Error loading Winsock DLL")                                                   \
    TEXT(9003, "Incorrect version of Winsock")                                                \
    TEXT(9004, "Winsock not initialized - %s")                                                \
    TEXT(9005, "Specified port is not valid")                                                 \
    TEXT(9006, "Cannot change parameter while socket is connected")                           \
    TEXT(9007, "Cannot resolve destination address")                                          \
    TEXT(10000, "Socket error")                                                               \
    TEXT(10004, "The call was interrupted")                                                   \
    TEXT(10009, "Bad socket handle")                                                          \
    TEXT(10013, "Permission denied")                                                          \
    TEXT(10014, "Bad address")                                                                \
    TEXT(10022, "Invalid argument")                                                           \
    TEXT(10024, "Too many open sockets")                                                      \
    TEXT(10035, "The operation would block")                                                  \
    TEXT(10036, "An operation is now in progress")                                            \
    TEXT(10037, "An operation is already in progress")                                        \
    TEXT(10038, "Not a socket")                                                               \
    TEXT(10039, "The destination address is required for this operation")                     \
    TEXT(10040, "Message too long")                                                           \
    TEXT(10041, "Wrong protocol type for the socket")                                         \
    TEXT(10042, "Protocol option not available")                                              \
    TEXT(10043, "Protocol not supported")                                                     \
    TEXT(10044, "Socket type not supported")                                                  \
    TEXT(10045, "Operation not supported on the socket")                                      \
    TEXT(10046, "Protocol family not supported")                                              \
    TEXT(10047, "Address family not supported")                                               \
    TEXT(10048, "Address already in use")                                                     \
    TEXT(10049, "Address not available on this computer")                                     \
    TEXT(10050, "The network is down")                                                        \
    TEXT(10051, "The network is unreachable")                                                 \
    TEXT(10052, "The network has been reset")                                                 \
    TEXT(10053, "The virtual circuit has been aborted due to timeout, etc")                   \
    TEXT(10054, "The virtual circuit has been reset by the partner")                          \
    TEXT(10055, "No buffer space available")                                                  \
    TEXT(10056, "The socket is already connected")                                            \
    TEXT(10057, "The socket is not connected")                                                \
    TEXT(10058, "The socket has been shut down")                                              \
    TEXT(10059, "Too many references")                                                        \
    TEXT(10060, "The operation timed out")                                                    \
    TEXT(10061, "The attempt to connect was forcibly refused")                                \
    TEXT(10062, "Too many levels of symbolic links")                                          \
    TEXT(10063, "Name too long")                                                              \
    TEXT(10064, "The host is down")                                                           \
    TEXT(10065, "No route to the host")                                                       \
    TEXT(10066, "Directory not empty")                                                        \
    TEXT(10067, "Too many processes")                                                         \
    TEXT(10068, "Too many users")                                                             \
    TEXT(10069, "Disk quota exceeded")                                                        \
    TEXT(10070, "Stale file handle")                                                          \
    TEXT(10071, "The object is remote")                                                       \
    TEXT(10091, "The network subsystem is not ready")                                         \
    TEXT(10092, "This network library version is not supported")                              \
    TEXT(10093, "The network library has not been started")                                   \
    TEXT(10101, "The peer is shutting the connection down")                                   \
    TEXT(11001, "Host not found")                                                             \
    TEXT(11002, "Host not found, or the name server did not answer; try again")               \
    TEXT(11003, "The name server failed for good")                                            \
    TEXT(11004, "The name is known but has no address")                                       \
    CODE(-13980, ERasLoadFail, "Remote access library could not be loaded")                   \
    TEXT(15001, "None")                                                                       \
    TEXT(15002, "Dispatch")                                                                   \
    TEXT(15003, "Trigger")                                                                    \
    TEXT(15004, "Check")                                                                      \
    TEXT(15006, "Add")                                                                        \
    TEXT(15007, "Remove")                                                                     \
    TEXT(15008, "AddHndlr")                                                                   \
    TEXT(15009, "RemHndlr")                                                                   \
    TEXT(15010, "Change")                                                                     \
    TEXT(15011, "Telnet")                                                                     \
    TEXT(15019, "Packet")                                                                     \
    TEXT(15020, "User")                                                                       \
    TEXT(15101, "ReadCom")                                                                    \
    TEXT(15102, "WriteCom")                                                                   \
    TEXT(15105, "Avail")                                                                      \
    TEXT(15106, "Timer")                                                                      \
    TEXT(15107, "Data")                                                                       \
    TEXT(15108, "Status")                                                                     \
    TEXT(15113, "DataTrigger")                                                                \
    TEXT(15114, "TimerTrigger")                                                               \
    TEXT(15115, "StatusTrig")                                                                 \
    TEXT(15116, "AvailTrigger")                                                               \
    TEXT(15117, "WindowHndlr")                                                                \
    TEXT(15118, "ProcHndlr")                                                                  \
    TEXT(15119, "EventHndlr")                                                                 \
    TEXT(15120, "SendWill")                                                                   \
    TEXT(15121, "SendWont")                                                                   \
    TEXT(15122, "SendDo")                                                                     \
    TEXT(15123, "SendDont")                                                                   \
    TEXT(15124, "RecvWill")                                                                   \
    TEXT(15125, "RecvWont")                                                                   \
    TEXT(15126, "RecvDo")                                                                     \
    TEXT(15127, "RecvDont")                                                                   \
    TEXT(15128, "Command")                                                                    \
    TEXT(15129, "TermType")                                                                   \
    TEXT(15342, "Enable")                                                                     \
    TEXT(15343, "Disable")                                                                    \
    TEXT(15344, "StringPkt")                                                                  \
    TEXT(15345, "SizePkt")                                                                    \
    TEXT(15346, "TimeOut")                                                                    \
    TEXT(15347, "StartStr")                                                                   \
    TEXT(15348, "EndStr")                                                                     \
    TEXT(15349, "Idle")                                                                       \
    TEXT(15350, "WaitStart")                                                                  \
    TEXT(15351, "Collecting")

// The telephony layer's errors: TAPI(code, class, text). Each class derives from ETapi; the
// codes reach them through CheckException. The telephony layer itself is absent on this system.
#define ZP_TAPI_LIST(TAPI)                                                                \
    TAPI(-13801, ETapiAllocated, "Telephony line already allocated")                      \
    TAPI(-13802, ETapiNotAvailable, "The telephony layer is not available")               \
    TAPI(-13805, ETapiCallUnavail, "Telephony call unavailable")                          \
    TAPI(-13806, ETapiCompletionOverrun, "Too many call completions outstanding")         \
    TAPI(-13807, ETapiConferenceFull, "The conference is full")                           \
    TAPI(-13808, ETapiDialBilling, "The number waits for a billing tone")                 \
    TAPI(-13809, ETapiDialDialtone, "The number waits for a dial tone")                   \
    TAPI(-13810, ETapiDialPrompt, "The number waits for a prompt")                        \
    TAPI(-13811, ETapiDialQuiet, "The number waits for quiet")                            \
    TAPI(-13812, ETapiIncompatibleApiVersion, "Incompatible telephony interface version") \
    TAPI(-13813, ETapiIncompatibleExtVersion, "Incompatible telephony extension version") \
    TAPI(-13814, ETapiIniFileCorrupt, "The telephony settings are corrupt")               \
    TAPI(-13815, ETapiInUse, "The telephony device is in use")                            \
    TAPI(-13816, ETapiInvalAddress, "Invalid telephone address")                          \
    TAPI(-13817, ETapiInvalAddressId, "Invalid address id")                               \
    TAPI(-13818, ETapiInvalAddressMode, "Invalid address mode")                           \
    TAPI(-13819, ETapiInvalAddressState, "Invalid address state")                         \
    TAPI(-13820, ETapiInvalAppHandle, "Invalid telephony application handle")             \
    TAPI(-13821, ETapiInvalAppName, "Invalid telephony application name")                 \
    TAPI(-13822, ETapiInvalBearerMode, "Invalid bearer mode")                             \
    TAPI(-13823, ETapiInvalCallComplMode, "Invalid call completion mode")                 \
    TAPI(-13824, ETapiInvalCallHandle, "Invalid call handle")                             \
    TAPI(-13825, ETapiInvalCallParams, "Invalid call parameters")                         \
    TAPI(-13826, ETapiInvalCallPrivilege, "Invalid call privilege")                       \
    TAPI(-13827, ETapiInvalCallSelect, "Invalid call selection")                          \
    TAPI(-13828, ETapiInvalCallState, "Invalid call state")                               \
    TAPI(-13829, ETapiInvalCallStateList, "Invalid call state list")                      \
    TAPI(-13830, ETapiInvalCard, "Invalid calling card")                                  \
    TAPI(-13831, ETapiInvalCompletionId, "Invalid call completion id")                    \
    TAPI(-13832, ETapiInvalConfCallHandle, "Invalid conference call handle")              \
    TAPI(-13833, ETapiInvalConsultCallHandle, "Invalid consultation call handle")         \
    TAPI(-13834, ETapiInvalCountryCode, "Invalid country code")                           \
    TAPI(-13835, ETapiInvalDeviceClass, "Invalid device class")                           \
    TAPI(-13836, ETapiInvalDeviceHandle, "Invalid device handle")                         \
    TAPI(-13837, ETapiInvalDialParams, "Invalid dial parameters")                         \
    TAPI(-13838, ETapiInvalDigitList, "Invalid digit list")                               \
    TAPI(-13839, ETapiInvalDigitMode, "Invalid digit mode")                               \
    TAPI(-13840, ETapiInvalDigits, "Invalid digits")                                      \
    TAPI(-13841, ETapiInvalExtVersion, "Invalid extension version")                       \
    TAPI(-13842, ETapiInvalGroupId, "Invalid group id")                                   \
    TAPI(-13843, ETapiInvalLineHandle, "Invalid line handle")                             \
    TAPI(-13844, ETapiInvalLineState, "Invalid line state")                               \
    TAPI(-13845, ETapiInvalLocation, "Invalid dialling location")                         \
    TAPI(-13846, ETapiInvalMediaList, "Invalid media list")                               \
    TAPI(-13847, ETapiInvalMediaMode, "Invalid media mode")                               \
    TAPI(-13848, ETapiInvalMessageId, "Invalid message id")                               \
    TAPI(-13850, ETapiInvalParam, "Invalid telephony parameter")                          \
    TAPI(-13851, ETapiInvalParkId, "Invalid park id")                                     \
    TAPI(-13852, ETapiInvalParkMode, "Invalid park mode")                                 \
    TAPI(-13853, ETapiInvalPointer, "Invalid telephony buffer")                           \
    TAPI(-13854, ETapiInvalPrivSelect, "Invalid privilege selection")                     \
    TAPI(-13855, ETapiInvalRate, "Invalid rate")                                          \
    TAPI(-13856, ETapiInvalRequestMode, "Invalid request mode")                           \
    TAPI(-13857, ETapiInvalTerminalId, "Invalid terminal id")                             \
    TAPI(-13858, ETapiInvalTerminalMode, "Invalid terminal mode")                         \
    TAPI(-13859, ETapiInvalTimeout, "Invalid time-out")                                   \
    TAPI(-13860, ETapiInvalTone, "Invalid tone")                                          \
    TAPI(-13861, ETapiInvalToneList, "Invalid tone list")                                 \
    TAPI(-13862, ETapiInvalToneMode, "Invalid tone mode")                                 \
    TAPI(-13863, ETapiInvalTransferMode, "Invalid transfer mode")                         \
    TAPI(-13864, ETapiLineMapperFailed, "No line matches the call parameters")            \
    TAPI(-13865, ETapiNoConference, "The call is not a conference")                       \
    TAPI(-13866, ETapiNoDevice, "The telephony device is missing")                        \
    TAPI(-13867, ETapiNoDriver, "The telephony driver is missing")                        \
    TAPI(-13868, ETapiNoMem, "Not enough memory for the telephony layer")                 \
    TAPI(-13869, ETapiNoRequest, "No telephony request pending")                          \
    TAPI(-13870, ETapiNotOwner, "Not the owner of the call")                              \
    TAPI(-13871, ETapiNotRegistered, "Not registered for telephony requests")             \
    TAPI(-13872, ETapiOperationFailed, "The telephony operation failed")                  \
    TAPI(-13873, ETapiOperationUnavail, "The telephony operation is unavailable")         \
    TAPI(-13874, ETapiRateUnavail, "The rate is unavailable")                             \
    TAPI(-13875, ETapiResourceUnavail, "A telephony resource is unavailable")             \
    TAPI(-13876, ETapiRequestOverrun, "Too many telephony requests")                      \
    TAPI(-13877, ETapiStructureTooSmall, "Telephony structure too small")                 \
    TAPI(-13878, ETapiTargetNotFound, "Call target not found")                            \
    TAPI(-13879, ETapiTargetSelf, "The call target is the caller")                        \
    TAPI(-13880, ETapiUninitialized, "Telephony not initialised")                         \
    TAPI(-13881, ETapiUserUserInfoTooBig, "Call user information too long")               \
    TAPI(-13882, ETapiReinit, "The telephony layer is restarting")                        \
    TAPI(-13883, ETapiAddressBlocked, "The telephone address is blocked")                 \
    TAPI(-13884, ETapiBillingRejected, "Billing rejected")                                \
    TAPI(-13885, ETapiInvalFeature, "Invalid telephony feature")                          \
    TAPI(-13886, ETapiNoMultipleInstance, "The telephony layer allows one instance only") \
    TAPI(-13928, ETapiBusy, "Telephony line busy")                                        \
    TAPI(-13929, ETapiNoAnswer, "The call was not answered")                              \
    TAPI(-13930, ETapiNoDialtone, "No dial tone on the telephone line")                   \
    TAPI(-13931, ETapiRejected, "The call was rejected")                                  \
    TAPI(-13932, ETapiUnreachable, "The number cannot be reached")                        \
    TAPI(-13935, ETapiVoiceNotSupported, "Voice not supported")                           \
    TAPI(-13936, ETapiWaveFormatUnsupported, "Sound format not supported")                \
    TAPI(-13942, ETapiTranslateFail, "Telephony address translation failed")

#define ZP_DECLARE_CLASS(name, parent) \
    class name : public parent {       \
      public:                          \
        using parent::parent;          \
    };
#define ZP_IGNORE_CODE(code, cls, text)
#define ZP_IGNORE_TEXT(code, text)
ZP_ERROR_LIST(ZP_DECLARE_CLASS, ZP_IGNORE_CODE, ZP_IGNORE_TEXT)
#define ZP_DECLARE_TAPI(code, name, text) ZP_DECLARE_CLASS(name, ETapi)
ZP_TAPI_LIST(ZP_DECLARE_TAPI)
#undef ZP_DECLARE_TAPI
#undef ZP_DECLARE_CLASS
#undef ZP_IGNORE_CODE
#undef ZP_IGNORE_TEXT

// A stream failure of the XML reader; the code stays beside the message (ErrorCode is 0).
class EZpStreamError : public EXML {
  public:
    EZpStreamError(int32_t code, const std::string& message) : EXML(message), StreamCode(code) {}
    int32_t StreamCode;
};

// A failure while filtering the stream, with where it happened.
class EZpFilterError : public EZpStreamError {
  public:
    EZpFilterError(int32_t code, int32_t line, int32_t column, const std::string& message);
    std::wstring WideMessage;
    int32_t Line;
    int32_t Column;
};

class EZpParserError : public EZpFilterError {
  public:
    EZpParserError(int32_t line, int32_t column, const std::string& message)
        : EZpFilterError(0, line, column, message) {}
};

// Failures of the pager and GSM phone components: a code beside the message.
class EZpPagerException : public std::runtime_error {
  public:
    EZpPagerException(int32_t code, const std::string& message)
        : std::runtime_error(message), ErrorCode(code) {}
    int32_t ErrorCode;
};

class EZpGSMPhoneException : public std::runtime_error {
  public:
    EZpGSMPhoneException(int32_t code, const std::string& message)
        : std::runtime_error(message), ErrorCode(code) {}
    int32_t ErrorCode;
};

class TZpBaseComponent;

// Returns non-negative codes unchanged (and any code while comp is loading); raises the
// exception of a negative code otherwise.
int32_t CheckException(const TZpBaseComponent* comp, int32_t code);
// The message of a code (sign ignored), at most 255 characters; "" when unknown.
std::string ZpLoadStr(int32_t code);
inline std::string ErrorMsg(int32_t code) {
    return ZpLoadStr(code);
}
// Copies the message into buf (zero-terminated, at most size-1 characters) and returns buf.
char* ZpLoadZ(char* buf, size_t size, int32_t code);
// The table's text, or "" when the table has no entry.
void MessageNumberToString(int32_t code, std::string& message);
// The code an exception stands for: ErrorCode of an EZPException, -ErrorCode of an
// EInOutError, -8 for out of memory, -9999 for anything else.
int32_t XlatException(const std::exception& e);
// A system message made printable: control characters become blanks, blank runs shrink to one.
std::string ZpNormalizeSystemText(const std::string& text);
