#pragma once
// The Windows kernel and NDIS 6.20 declarations the binding uses, written from Microsoft's
// public reference pages (field lists, constants, function prototypes). Only what the
// binding touches is declared. Records the binding reads or builds keep their documented
// field order; where a field's offset matters on x64 it is pinned below.
//
// The same header serves two builds: corvflt.sys (mingw-w64, x64, the real ndis.sys and
// ntoskrnl.exe behind the functions) and the simulated NDIS (a user-mode library that
// implements the same functions over the same records, for tests on Linux).

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define CORVFLT_NT_IMPORT_DATA __declspec(dllimport)
#else
#define CORVFLT_NT_IMPORT_DATA
#endif

namespace corvflt::nt {

using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using CSHORT = std::int16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using ULONG64 = std::uint64_t;
using LONGLONG = std::int64_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using BOOLEAN = std::uint8_t;
using WCHAR = char16_t;
using PVOID = void*;
using HANDLE = void*;
using NTSTATUS = LONG;
using NDIS_STATUS = LONG;
using NDIS_HANDLE = void*;
using NDIS_OID = ULONG;
using NDIS_PORT_NUMBER = ULONG;
using NET_IFINDEX = ULONG;
using KIRQL = UCHAR;
using KPROCESSOR_MODE = char;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;

// ---------------------------------------------------------------- status codes
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_PENDING = 0x00000103;
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
inline constexpr NTSTATUS STATUS_ACCESS_VIOLATION = static_cast<NTSTATUS>(0xC0000005);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
inline constexpr NDIS_STATUS NDIS_STATUS_SUCCESS = STATUS_SUCCESS;
inline constexpr NDIS_STATUS NDIS_STATUS_PENDING = STATUS_PENDING;
inline constexpr NDIS_STATUS NDIS_STATUS_FAILURE = STATUS_UNSUCCESSFUL;
inline constexpr NDIS_STATUS NDIS_STATUS_RESOURCES = STATUS_INSUFFICIENT_RESOURCES;
inline constexpr NDIS_STATUS NDIS_STATUS_INVALID_PARAMETER = STATUS_INVALID_PARAMETER;
inline constexpr NDIS_STATUS NDIS_STATUS_NOT_SUPPORTED = static_cast<NDIS_STATUS>(0xC00000BB);
inline constexpr NDIS_STATUS NDIS_STATUS_PAUSED = static_cast<NDIS_STATUS>(0xC023002A);

// ---------------------------------------------------------------- basic records
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};

struct UNICODE_STRING {
    USHORT Length;         // bytes, without a terminator
    USHORT MaximumLength;  // bytes
    WCHAR* Buffer;
};
using NDIS_STRING = UNICODE_STRING;
static_assert(sizeof(UNICODE_STRING) == 16 && offsetof(UNICODE_STRING, Buffer) == 8);

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};

// Kernel objects the binding only ever handles by pointer.
struct KEVENT;
struct EPROCESS;
struct FILE_OBJECT;
struct OBJECT_TYPE;
struct DRIVER_EXTENSION;
struct NET_PNP_EVENT_NOTIFICATION;
struct NET_DEVICE_PNP_EVENT;

// ---------------------------------------------------------------- memory descriptor lists
struct MDL {
    MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
static_assert(sizeof(MDL) == 48 && offsetof(MDL, MappedSystemVa) == 24 &&
              offsetof(MDL, ByteCount) == 40 && offsetof(MDL, ByteOffset) == 44);

inline constexpr CSHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
inline constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

enum MEMORY_CACHING_TYPE : int { MmNonCached = 0, MmCached = 1 };
enum LOCK_OPERATION : int { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
inline constexpr KPROCESSOR_MODE KernelMode = 0;
inline constexpr KPROCESSOR_MODE UserMode = 1;
inline constexpr ULONG NormalPagePriority = 16;

// ---------------------------------------------------------------- I/O manager
struct DEVICE_OBJECT;
struct IRP;
struct DRIVER_OBJECT;
using DRIVER_DISPATCH = NTSTATUS(DEVICE_OBJECT*, IRP*);
using DRIVER_UNLOAD = void(DRIVER_OBJECT*);

inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;
inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;
inline constexpr char IO_NO_INCREMENT = 0;
inline constexpr ULONG METHOD_BUFFERED = 0;

struct DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    DRIVER_EXTENSION* DriverExtension;
    UNICODE_STRING DriverName;
    UNICODE_STRING* HardwareDatabase;
    PVOID FastIoDispatch;
    PVOID DriverInit;
    PVOID DriverStartIo;
    DRIVER_UNLOAD* DriverUnload;
    DRIVER_DISPATCH* MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
static_assert(offsetof(DRIVER_OBJECT, DriverUnload) == 0x68 &&
              offsetof(DRIVER_OBJECT, MajorFunction) == 0x70 && sizeof(DRIVER_OBJECT) == 0x150);

// The stack location of one request; only the device-control parameters are spelled out
// (every member of that union is pointer-aligned on x64).
struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1, Argument2, Argument3, Argument4;
        } Others;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
};
static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8 &&
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 16 &&
              offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 24 &&
              offsetof(IO_STACK_LOCATION, FileObject) == 48 && sizeof(IO_STACK_LOCATION) == 72);

struct IRP {
    CSHORT Type;
    USHORT Size;
    MDL* MdlAddress;
    ULONG Flags;
    union {
        IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    char StackCount;
    char CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    char ApcEnvironment;
    UCHAR AllocationFlags;
    IO_STATUS_BLOCK* UserIosb;
    KEVENT* UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PVOID CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            char* AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            IO_STACK_LOCATION* CurrentStackLocation;
            FILE_OBJECT* OriginalFileObject;
        } Overlay;
        PVOID CompletionKey;
        UCHAR Apc[88];
    } Tail;
};
static_assert(offsetof(IRP, AssociatedIrp) == 0x18 && offsetof(IRP, IoStatus) == 0x30 &&
              offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8 && sizeof(IRP) == 0xD0);

inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp)
{
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline void IoMarkIrpPending(IRP* irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }

// ---------------------------------------------------------------- registry
using RTL_QUERY_REGISTRY_ROUTINE = NTSTATUS(const WCHAR* ValueName, ULONG ValueType, PVOID ValueData,
                                            ULONG ValueLength, PVOID Context, PVOID EntryContext);
struct RTL_QUERY_REGISTRY_TABLE {
    RTL_QUERY_REGISTRY_ROUTINE* QueryRoutine;
    ULONG Flags;
    const WCHAR* Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
};
static_assert(sizeof(RTL_QUERY_REGISTRY_TABLE) == 56);
using RTL_QUERY_REGISTRY_VALUES = NTSTATUS(ULONG RelativeTo, const WCHAR* Path,
                                           RTL_QUERY_REGISTRY_TABLE* QueryTable, PVOID Context,
                                           PVOID Environment);
inline constexpr ULONG RTL_REGISTRY_SERVICES = 1;
inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_DWORD = 4;

inline constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
inline constexpr ULONG NonPagedPool = 0;

// ---------------------------------------------------------------- NDIS records
struct NDIS_OBJECT_HEADER {
    UCHAR Type;
    UCHAR Revision;
    USHORT Size;
};

inline constexpr UCHAR NDIS_OBJECT_TYPE_DEFAULT = 0x80;
inline constexpr UCHAR NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES = 0x85;
inline constexpr UCHAR NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS = 0x8B;
inline constexpr UCHAR NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES = 0x8D;
inline constexpr UCHAR NDIS_OBJECT_TYPE_OID_REQUEST = 0x96;
inline constexpr UCHAR NDIS_OBJECT_TYPE_STATUS_INDICATION = 0x98;

union NET_LUID {
    ULONG64 Value;
};

struct NET_BUFFER;
struct NET_BUFFER_LIST;

// Only the 16-byte alignment of the kernel's interlocked list head matters here: it makes
// NET_BUFFER and NET_BUFFER_LIST 16-byte aligned records.
struct alignas(16) SLIST_HEADER {
    ULONG64 Alignment;
    ULONG64 Region;
};

struct NET_BUFFER_DATA {
    NET_BUFFER* Next;
    MDL* CurrentMdl;
    ULONG CurrentMdlOffset;
    union {
        ULONG DataLength;
        SIZE_T stDataLength;
    };
    MDL* MdlChain;
    ULONG DataOffset;
};

struct NET_BUFFER {
    union {
        NET_BUFFER_DATA data;  // named members below are the documented accessors
        SLIST_HEADER Link;
    };
    USHORT ChecksumBias;
    USHORT Reserved;
    NDIS_HANDLE NdisPoolHandle;
    PVOID NdisReserved[2];
    PVOID ProtocolReserved[6];
    PVOID MiniportReserved[4];
    LONGLONG DataPhysicalAddress;
    PVOID SharedMemoryInfo;
};
static_assert(offsetof(NET_BUFFER_DATA, DataLength) == 24 && offsetof(NET_BUFFER_DATA, MdlChain) == 32 &&
              offsetof(NET_BUFFER_DATA, DataOffset) == 40);
static_assert(offsetof(NET_BUFFER, ChecksumBias) == 48 && offsetof(NET_BUFFER, NdisPoolHandle) == 56 &&
              offsetof(NET_BUFFER, MiniportReserved) == 128 && sizeof(NET_BUFFER) == 176);

struct NET_BUFFER_LIST_CONTEXT;

// NDIS_NET_BUFFER_LIST_INFO, as far as a 6.20 driver indexes it.
inline constexpr ULONG Ieee8021QNetBufferListInfo = 4;
inline constexpr ULONG NetBufferListFrameType = 7;
inline constexpr ULONG MaxNetBufferListInfo620 = 18;

struct NET_BUFFER_LIST {
    union {
        struct {
            NET_BUFFER_LIST* Next;
            NET_BUFFER* FirstNetBuffer;
        } header;
        SLIST_HEADER Link;
    };
    NET_BUFFER_LIST_CONTEXT* Context;
    NET_BUFFER_LIST* ParentNetBufferList;
    NDIS_HANDLE NdisPoolHandle;
    PVOID NdisReserved[2];
    PVOID ProtocolReserved[4];
    PVOID MiniportReserved[2];
    PVOID Scratch;
    NDIS_HANDLE SourceHandle;
    ULONG NblFlags;
    LONG ChildRefCount;
    ULONG Flags;
    union {
        NDIS_STATUS Status;
        ULONG NdisReserved2;
    };
    // The array grows with later NDIS versions; a 6.20 driver reads and writes only these.
    PVOID NetBufferListInfo[MaxNetBufferListInfo620];
};
static_assert(offsetof(NET_BUFFER_LIST, Context) == 16 && offsetof(NET_BUFFER_LIST, NdisPoolHandle) == 32 &&
              offsetof(NET_BUFFER_LIST, SourceHandle) == 112 && offsetof(NET_BUFFER_LIST, NblFlags) == 120 &&
              offsetof(NET_BUFFER_LIST, Status) == 132 && offsetof(NET_BUFFER_LIST, NetBufferListInfo) == 136);

inline NET_BUFFER_LIST*& NET_BUFFER_LIST_NEXT_NBL(NET_BUFFER_LIST* nbl) { return nbl->header.Next; }
inline NET_BUFFER* NET_BUFFER_LIST_FIRST_NB(NET_BUFFER_LIST* nbl) { return nbl->header.FirstNetBuffer; }
inline NET_BUFFER*& NET_BUFFER_NEXT_NB(NET_BUFFER* nb) { return nb->data.Next; }
inline ULONG& NET_BUFFER_DATA_LENGTH(NET_BUFFER* nb) { return nb->data.DataLength; }

inline constexpr ULONG NDIS_NBL_FLAGS_IS_IPV4 = 0x00000200;
inline constexpr ULONG NDIS_NBL_FLAGS_IS_IPV6 = 0x00000400;
inline constexpr ULONG NDIS_NBL_FLAGS_IS_LOOPBACK_PACKET = 0x00008000;

inline constexpr ULONG NDIS_SEND_FLAGS_DISPATCH_LEVEL = 0x00000001;
inline constexpr ULONG NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL = 0x00000001;
inline constexpr ULONG NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL = 0x00000001;
inline constexpr ULONG NDIS_RECEIVE_FLAGS_RESOURCES = 0x00000002;
inline constexpr ULONG NDIS_RETURN_FLAGS_DISPATCH_LEVEL = 0x00000001;

struct NET_BUFFER_LIST_POOL_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    UCHAR ProtocolId;
    BOOLEAN fAllocateNetBuffer;
    USHORT ContextSize;
    ULONG PoolTag;
    ULONG DataSize;
};
static_assert(sizeof(NET_BUFFER_LIST_POOL_PARAMETERS) == 16);
inline constexpr UCHAR NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 = 1;
inline constexpr UCHAR NDIS_PROTOCOL_ID_DEFAULT = 0;

enum NDIS_REQUEST_TYPE : int {
    NdisRequestQueryInformation = 0,
    NdisRequestSetInformation = 1,
    NdisRequestQueryStatistics = 2,
    NdisRequestMethod = 12,
};

inline constexpr unsigned NDIS_OID_REQUEST_NDIS_RESERVED_SIZE = 16;

struct NDIS_OID_REQUEST {
    NDIS_OBJECT_HEADER Header;
    NDIS_REQUEST_TYPE RequestType;
    NDIS_PORT_NUMBER PortNumber;
    UINT Timeout;
    PVOID RequestId;
    NDIS_HANDLE RequestHandle;
    union {
        struct {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesWritten;
            UINT BytesNeeded;
        } QUERY_INFORMATION;
        struct {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            UINT InformationBufferLength;
            UINT BytesRead;
            UINT BytesNeeded;
        } SET_INFORMATION;
        struct {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            ULONG InputBufferLength;
            ULONG OutputBufferLength;
            ULONG MethodId;
            UINT BytesWritten;
            UINT BytesRead;
            UINT BytesNeeded;
        } METHOD_INFORMATION;
    } DATA;
    UCHAR NdisReserved[NDIS_OID_REQUEST_NDIS_RESERVED_SIZE * sizeof(PVOID)];
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR SourceReserved[2 * sizeof(PVOID)];
    UCHAR SupportedRevision;
    UCHAR Reserved1;
    USHORT Reserved2;
};
inline constexpr UCHAR NDIS_OID_REQUEST_REVISION_1 = 1;
inline constexpr USHORT NDIS_SIZEOF_OID_REQUEST_REVISION_1 = 236;
static_assert(offsetof(NDIS_OID_REQUEST, RequestId) == 16 && offsetof(NDIS_OID_REQUEST, DATA) == 32 &&
              offsetof(NDIS_OID_REQUEST, DATA.QUERY_INFORMATION.BytesWritten) == 52 &&
              offsetof(NDIS_OID_REQUEST, DATA.METHOD_INFORMATION.BytesNeeded) == 68 &&
              offsetof(NDIS_OID_REQUEST, SourceReserved) == 216 &&
              offsetof(NDIS_OID_REQUEST, Reserved2) + sizeof(USHORT) == NDIS_SIZEOF_OID_REQUEST_REVISION_1);

struct NDIS_STATUS_INDICATION {
    NDIS_OBJECT_HEADER Header;
    NDIS_HANDLE SourceHandle;
    NDIS_PORT_NUMBER PortNumber;
    NDIS_STATUS StatusCode;
    ULONG Flags;
    NDIS_HANDLE DestinationHandle;
    PVOID RequestId;
    PVOID StatusBuffer;
    ULONG StatusBufferSize;
    UCHAR Guid[16];
    PVOID NdisReserved[4];
};
inline constexpr UCHAR NDIS_STATUS_INDICATION_REVISION_1 = 1;
static_assert(offsetof(NDIS_STATUS_INDICATION, StatusBuffer) == 48 &&
              offsetof(NDIS_STATUS_INDICATION, NdisReserved) == 80 && sizeof(NDIS_STATUS_INDICATION) == 112);

// NDIS_WAN_LINE_UP: the status buffer of a WAN line-up indication.
struct NDIS_WAN_LINE_UP {
    ULONG LinkSpeed;
    ULONG MaximumTotalSize;
    int Quality;
    USHORT SendWindow;
    UCHAR RemoteAddress[6];
    UCHAR LocalAddress[6];
    ULONG ProtocolBufferLength;
    UCHAR* ProtocolBuffer;
    USHORT ProtocolType;
    UNICODE_STRING DeviceName;
};
static_assert(offsetof(NDIS_WAN_LINE_UP, RemoteAddress) == 14 && offsetof(NDIS_WAN_LINE_UP, ProtocolBufferLength) == 28 &&
              offsetof(NDIS_WAN_LINE_UP, ProtocolBuffer) == 32);

// NDIS_WAN_LINE_DOWN.
struct NDIS_WAN_LINE_DOWN {
    UCHAR RemoteAddress[6];
    UCHAR LocalAddress[6];
};

enum NDIS_MEDIUM : int { NdisMedium802_3 = 0, NdisMediumWan = 3, NdisMediumWirelessWan = 9, NdisMediumIP = 19 };
inline constexpr unsigned NDIS_MAX_PHYS_ADDRESS_LENGTH = 32;

struct NDIS_FILTER_ATTACH_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    NET_IFINDEX IfIndex;
    NET_LUID NetLuid;
    NDIS_STRING* FilterModuleGuidName;
    NET_IFINDEX BaseMiniportIfIndex;
    NDIS_STRING* BaseMiniportInstanceName;
    NDIS_STRING* BaseMiniportName;
    int MediaConnectState;
    int MediaDuplexState;
    ULONG64 XmitLinkSpeed;
    ULONG64 RcvLinkSpeed;
    NDIS_MEDIUM MiniportMediaType;
    int MiniportPhysicalMediaType;
    NDIS_HANDLE MiniportMediaSpecificAttributes;
    PVOID DefaultOffloadConfiguration;  // NDIS_OFFLOAD
    USHORT MacAddressLength;
    UCHAR CurrentMacAddress[NDIS_MAX_PHYS_ADDRESS_LENGTH];
    NET_LUID BaseMiniportNetLuid;
    NET_IFINDEX LowerIfIndex;
    NET_LUID LowerIfNetLuid;
    ULONG Flags;
};
static_assert(offsetof(NDIS_FILTER_ATTACH_PARAMETERS, FilterModuleGuidName) == 16 &&
              offsetof(NDIS_FILTER_ATTACH_PARAMETERS, BaseMiniportName) == 40 &&
              offsetof(NDIS_FILTER_ATTACH_PARAMETERS, MiniportMediaType) == 72 &&
              offsetof(NDIS_FILTER_ATTACH_PARAMETERS, DefaultOffloadConfiguration) == 88 &&
              offsetof(NDIS_FILTER_ATTACH_PARAMETERS, CurrentMacAddress) == 98 &&
              offsetof(NDIS_FILTER_ATTACH_PARAMETERS, Flags) == 160);

// The first NDIS_OFFLOAD header word carries its size; the binding hands the core the bytes.
inline constexpr ULONG NDIS_OFFLOAD_SIZE = 156;

struct NDIS_RESTART_ATTRIBUTES {
    NDIS_RESTART_ATTRIBUTES* Next;
    NDIS_OID Oid;
    ULONG DataLength;
    alignas(16) UCHAR Data[1];
};
static_assert(offsetof(NDIS_RESTART_ATTRIBUTES, Data) == 16);

struct NDIS_RESTART_GENERAL_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    ULONG MtuSize;
    ULONG64 MaxXmitLinkSpeed;
    ULONG64 MaxRcvLinkSpeed;
    ULONG LookaheadSize;
    ULONG MacOptions;
    ULONG SupportedPacketFilters;
    ULONG MaxMulticastListSize;
    USHORT MacAddressLength;
    UCHAR PermanentMacAddress[NDIS_MAX_PHYS_ADDRESS_LENGTH];
    UCHAR CurrentMacAddress[NDIS_MAX_PHYS_ADDRESS_LENGTH];
};
static_assert(offsetof(NDIS_RESTART_GENERAL_ATTRIBUTES, MtuSize) == 4 &&
              offsetof(NDIS_RESTART_GENERAL_ATTRIBUTES, LookaheadSize) == 24);
inline constexpr NDIS_OID OID_GEN_MINIPORT_RESTART_ATTRIBUTES = 0x0001021D;

struct NDIS_FILTER_RESTART_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    NDIS_MEDIUM MiniportMediaType;
    int MiniportPhysicalMediaType;
    NDIS_RESTART_ATTRIBUTES* RestartAttributes;
    NET_IFINDEX LowerIfIndex;
    NET_LUID LowerIfNetLuid;
    ULONG Flags;
};
static_assert(offsetof(NDIS_FILTER_RESTART_PARAMETERS, RestartAttributes) == 16);

struct NDIS_FILTER_PAUSE_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    ULONG Flags;
    ULONG PauseReason;
};

struct NDIS_FILTER_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    ULONG Flags;
};
inline constexpr UCHAR NDIS_FILTER_ATTRIBUTES_REVISION_1 = 1;

// Filter driver entry points.
using SET_OPTIONS_HANDLER = NDIS_STATUS(NDIS_HANDLE NdisDriverHandle, NDIS_HANDLE DriverContext);
using FILTER_SET_MODULE_OPTIONS_HANDLER = NDIS_STATUS(NDIS_HANDLE FilterModuleContext);
using FILTER_ATTACH_HANDLER = NDIS_STATUS(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterDriverContext,
                                          NDIS_FILTER_ATTACH_PARAMETERS* AttachParameters);
using FILTER_DETACH_HANDLER = void(NDIS_HANDLE FilterModuleContext);
using FILTER_RESTART_HANDLER = NDIS_STATUS(NDIS_HANDLE FilterModuleContext,
                                           NDIS_FILTER_RESTART_PARAMETERS* RestartParameters);
using FILTER_PAUSE_HANDLER = NDIS_STATUS(NDIS_HANDLE FilterModuleContext,
                                         NDIS_FILTER_PAUSE_PARAMETERS* PauseParameters);
using FILTER_SEND_NET_BUFFER_LISTS_HANDLER = void(NDIS_HANDLE FilterModuleContext, NET_BUFFER_LIST* NetBufferLists,
                                                  NDIS_PORT_NUMBER PortNumber, ULONG SendFlags);
using FILTER_SEND_NET_BUFFER_LISTS_COMPLETE_HANDLER = void(NDIS_HANDLE FilterModuleContext,
                                                           NET_BUFFER_LIST* NetBufferLists, ULONG SendCompleteFlags);
using FILTER_CANCEL_SEND_HANDLER = void(NDIS_HANDLE FilterModuleContext, PVOID CancelId);
using FILTER_RECEIVE_NET_BUFFER_LISTS_HANDLER = void(NDIS_HANDLE FilterModuleContext, NET_BUFFER_LIST* NetBufferLists,
                                                     NDIS_PORT_NUMBER PortNumber, ULONG NumberOfNetBufferLists,
                                                     ULONG ReceiveFlags);
using FILTER_RETURN_NET_BUFFER_LISTS_HANDLER = void(NDIS_HANDLE FilterModuleContext, NET_BUFFER_LIST* NetBufferLists,
                                                    ULONG ReturnFlags);
using FILTER_OID_REQUEST_HANDLER = NDIS_STATUS(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* OidRequest);
using FILTER_OID_REQUEST_COMPLETE_HANDLER = void(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* OidRequest,
                                                 NDIS_STATUS Status);
using FILTER_CANCEL_OID_REQUEST_HANDLER = void(NDIS_HANDLE FilterModuleContext, PVOID RequestId);
using FILTER_DEVICE_PNP_EVENT_NOTIFY_HANDLER = void(NDIS_HANDLE FilterModuleContext,
                                                    NET_DEVICE_PNP_EVENT* NetDevicePnPEvent);
using FILTER_NET_PNP_EVENT_HANDLER = NDIS_STATUS(NDIS_HANDLE FilterModuleContext,
                                                 NET_PNP_EVENT_NOTIFICATION* NetPnPEventNotification);
using FILTER_STATUS_HANDLER = void(NDIS_HANDLE FilterModuleContext, NDIS_STATUS_INDICATION* StatusIndication);
using FILTER_DIRECT_OID_REQUEST_HANDLER = NDIS_STATUS(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* OidRequest);
using FILTER_DIRECT_OID_REQUEST_COMPLETE_HANDLER = void(NDIS_HANDLE FilterModuleContext, NDIS_OID_REQUEST* OidRequest,
                                                        NDIS_STATUS Status);
using FILTER_CANCEL_DIRECT_OID_REQUEST_HANDLER = void(NDIS_HANDLE FilterModuleContext, PVOID RequestId);

struct NDIS_FILTER_DRIVER_CHARACTERISTICS {
    NDIS_OBJECT_HEADER Header;
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UCHAR MajorDriverVersion;
    UCHAR MinorDriverVersion;
    ULONG Flags;
    NDIS_STRING FriendlyName;
    NDIS_STRING UniqueName;
    NDIS_STRING ServiceName;
    SET_OPTIONS_HANDLER* SetOptionsHandler;
    FILTER_SET_MODULE_OPTIONS_HANDLER* SetFilterModuleOptionsHandler;
    FILTER_ATTACH_HANDLER* AttachHandler;
    FILTER_DETACH_HANDLER* DetachHandler;
    FILTER_RESTART_HANDLER* RestartHandler;
    FILTER_PAUSE_HANDLER* PauseHandler;
    FILTER_SEND_NET_BUFFER_LISTS_HANDLER* SendNetBufferListsHandler;
    FILTER_SEND_NET_BUFFER_LISTS_COMPLETE_HANDLER* SendNetBufferListsCompleteHandler;
    FILTER_CANCEL_SEND_HANDLER* CancelSendNetBufferListsHandler;
    FILTER_RECEIVE_NET_BUFFER_LISTS_HANDLER* ReceiveNetBufferListsHandler;
    FILTER_RETURN_NET_BUFFER_LISTS_HANDLER* ReturnNetBufferListsHandler;
    FILTER_OID_REQUEST_HANDLER* OidRequestHandler;
    FILTER_OID_REQUEST_COMPLETE_HANDLER* OidRequestCompleteHandler;
    FILTER_CANCEL_OID_REQUEST_HANDLER* CancelOidRequestHandler;
    FILTER_DEVICE_PNP_EVENT_NOTIFY_HANDLER* DevicePnPEventNotifyHandler;
    FILTER_NET_PNP_EVENT_HANDLER* NetPnPEventHandler;
    FILTER_STATUS_HANDLER* StatusHandler;
    FILTER_DIRECT_OID_REQUEST_HANDLER* DirectOidRequestHandler;
    FILTER_DIRECT_OID_REQUEST_COMPLETE_HANDLER* DirectOidRequestCompleteHandler;
    FILTER_CANCEL_DIRECT_OID_REQUEST_HANDLER* CancelDirectOidRequestHandler;
};
inline constexpr UCHAR NDIS_FILTER_CHARACTERISTICS_REVISION_2 = 2;
static_assert(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, FriendlyName) == 16 &&
              offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, SetOptionsHandler) == 64 &&
              offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, SendNetBufferListsHandler) == 112 &&
              offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, StatusHandler) == 192 &&
              sizeof(NDIS_FILTER_DRIVER_CHARACTERISTICS) == 224);

struct NDIS_DEVICE_OBJECT_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    NDIS_STRING* DeviceName;
    NDIS_STRING* SymbolicName;
    DRIVER_DISPATCH** MajorFunctions;
    ULONG ExtensionSize;
    const UNICODE_STRING* DefaultSDDLString;
    const void* DeviceClassGuid;
};
inline constexpr UCHAR NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 = 1;
static_assert(offsetof(NDIS_DEVICE_OBJECT_ATTRIBUTES, MajorFunctions) == 24 &&
              sizeof(NDIS_DEVICE_OBJECT_ATTRIBUTES) == 56);

// ---------------------------------------------------------------- IRQL levels
inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL DISPATCH_LEVEL = 2;

}  // namespace corvflt::nt

// ---------------------------------------------------------------- functions
// Exported by ntoskrnl.exe and ndis.sys; the simulated NDIS implements the same names with
// C linkage, so that the binding links against either unchanged.
namespace corvflt::nt {
extern "C" {

// Executive, object manager, kernel, memory manager, I/O manager, run-time library.
PVOID ExAllocatePoolWithTag(ULONG PoolType, SIZE_T NumberOfBytes, ULONG Tag);
void ExFreePoolWithTag(PVOID P, ULONG Tag);
NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, OBJECT_TYPE* ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object, PVOID HandleInformation);
std::intptr_t ObfDereferenceObject(PVOID Object);
LONG KeSetEvent(KEVENT* Event, KPRIORITY Increment, BOOLEAN Wait);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, LARGE_INTEGER* Interval);
void IofCompleteRequest(IRP* Irp, char PriorityBoost);
MDL* IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, IRP* Irp);
void IoFreeMdl(MDL* Mdl);
void MmProbeAndLockPages(MDL* Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
void MmUnlockPages(MDL* Mdl);
void MmUnmapLockedPages(PVOID BaseAddress, MDL* Mdl);
PVOID MmMapLockedPagesSpecifyCache(MDL* Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);
PVOID MmGetSystemRoutineAddress(UNICODE_STRING* SystemRoutineName);
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, const WCHAR* Path, RTL_QUERY_REGISTRY_TABLE* QueryTable,
                                PVOID Context, PVOID Environment);

CORVFLT_NT_IMPORT_DATA extern ULONG_PTR MmUserProbeAddress;
CORVFLT_NT_IMPORT_DATA extern OBJECT_TYPE** ExEventObjectType;

// NDIS
NDIS_STATUS NdisFRegisterFilterDriver(DRIVER_OBJECT* DriverObject, NDIS_HANDLE FilterDriverContext,
                                      NDIS_FILTER_DRIVER_CHARACTERISTICS* FilterDriverCharacteristics,
                                      NDIS_HANDLE* NdisFilterDriverHandle);
void NdisFDeregisterFilterDriver(NDIS_HANDLE NdisFilterDriverHandle);
NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE NdisFilterHandle, NDIS_HANDLE FilterModuleContext,
                               NDIS_FILTER_ATTRIBUTES* FilterAttributes);
NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE NdisHandle, NET_BUFFER_LIST_POOL_PARAMETERS* Parameters);
void NdisFreeNetBufferListPool(NDIS_HANDLE PoolHandle);
NET_BUFFER_LIST* NdisAllocateNetBufferList(NDIS_HANDLE PoolHandle, USHORT ContextSize, USHORT ContextBackFill);
void NdisFreeNetBufferList(NET_BUFFER_LIST* NetBufferList);
void NdisFSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferList,
                             NDIS_PORT_NUMBER PortNumber, ULONG SendFlags);
void NdisFSendNetBufferListsComplete(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferList,
                                     ULONG SendCompleteFlags);
void NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferLists,
                                        NDIS_PORT_NUMBER PortNumber, ULONG NumberOfNetBufferLists,
                                        ULONG ReceiveFlags);
void NdisFReturnNetBufferLists(NDIS_HANDLE NdisFilterHandle, NET_BUFFER_LIST* NetBufferLists, ULONG ReturnFlags);
void NdisFCancelSendNetBufferLists(NDIS_HANDLE NdisFilterHandle, PVOID CancelId);
PVOID NdisGetDataBuffer(NET_BUFFER* NetBuffer, ULONG BytesNeeded, PVOID Storage, UINT AlignMultiple,
                        UINT AlignOffset);
NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE SourceHandle, NDIS_OID_REQUEST* OidRequest, UINT PoolTag,
                                        NDIS_OID_REQUEST** ClonedOidRequest);
void NdisFreeCloneOidRequest(NDIS_HANDLE SourceHandle, NDIS_OID_REQUEST* Request);
NDIS_STATUS NdisFOidRequest(NDIS_HANDLE NdisFilterHandle, NDIS_OID_REQUEST* OidRequest);
void NdisFOidRequestComplete(NDIS_HANDLE NdisFilterHandle, NDIS_OID_REQUEST* OidRequest, NDIS_STATUS Status);
void NdisFCancelOidRequest(NDIS_HANDLE NdisFilterHandle, PVOID RequestId);
void NdisFIndicateStatus(NDIS_HANDLE NdisFilterHandle, NDIS_STATUS_INDICATION* StatusIndication);
void NdisFDevicePnPEventNotify(NDIS_HANDLE NdisFilterHandle, NET_DEVICE_PNP_EVENT* NetDevicePnPEvent);
NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE NdisFilterHandle, NET_PNP_EVENT_NOTIFICATION* NetPnPEventNotification);
NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE NdisHandle, NDIS_DEVICE_OBJECT_ATTRIBUTES* DeviceObjectAttributes,
                                 DEVICE_OBJECT** DeviceObject, NDIS_HANDLE* NdisDeviceHandle);
void NdisDeregisterDeviceEx(NDIS_HANDLE NdisDeviceHandle);

}  // extern "C"
}  // namespace corvflt::nt
