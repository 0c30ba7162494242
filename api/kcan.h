/*
 * kcan.h - Kestrun device-access library, C calling interface.
 *
 * Every function names the adapter by its type code and device index:
 *
 *   3  DUNLIN1          41 DUNLINFD2        64 ZARO3014
 *   4  DUNLIN2          42 DUNLINFD1        65 ZARO2014
 *   61 recorder 0x2601  43 DUNLINFD-Mini    66 ZARO2018
 *   62 recorder 0x2602                      67 ZARO3018
 *
 * The device index selects among attached adapters with the same USB ids
 * (0 = first). Control functions return 1 for success and 0 for failure;
 * data functions return a frame or byte count. The cause of a failure is
 * left in a process-wide last-error record (KCAN_GetLastError): successful
 * calls do not reset it, except a successful KCAN_OpenDevice of an FD or
 * recorder adapter, which sets KCAN_ERR_OK.
 *
 * Usable from C99 and C++. All records use natural alignment and host byte
 * order.
 */
#ifndef KCAN_H
#define KCAN_H

#include <stddef.h>
#include <stdint.h>

#if defined(KCAN_BUILDING_LIBRARY)
#define KCAN_API __attribute__((visibility("default")))
#else
#define KCAN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Adapter type codes ------------------------------------------------ */
#define KCAN_TYPE_DUNLIN1 3u
#define KCAN_TYPE_DUNLIN2 4u
#define KCAN_TYPE_DUNLINFD2 41u
#define KCAN_TYPE_DUNLINFD1 42u
#define KCAN_TYPE_DUNLINFD_MINI 43u
#define KCAN_TYPE_RECORD_2601 61u
#define KCAN_TYPE_RECORD_2602 62u
#define KCAN_TYPE_ZARO3014 64u
#define KCAN_TYPE_ZARO2014 65u
#define KCAN_TYPE_ZARO2018 66u
#define KCAN_TYPE_ZARO3018 67u

/* ---- Error codes (KCAN_GetLastError) ----------------------------------- */
#define KCAN_ERR_OK 0                   /* "OK" */
#define KCAN_ERR_DEVICE_NOT_EXIST 1     /* "Device Not Exist!" */
#define KCAN_ERR_RESERVED_2 2           /* never set */
#define KCAN_ERR_USB_TRANSPORT 3        /* "USB Transport Error!" */
#define KCAN_ERR_RESERVED_4 4           /* never set */
#define KCAN_ERR_DEVICE_INFO 5          /* "Device Info Get Failed!" */
#define KCAN_ERR_TYPE_NOT_SUPPORTED 6   /* "Device Type Not Supported!" */
#define KCAN_ERR_DEVICE_NOT_OPENED 7    /* "Device Not Opened!" */
#define KCAN_ERR_PARAMETER 8            /* "Parameter Error!" */
#define KCAN_ERR_MALLOC 9               /* "Memory Malloc Failed!" */
#define KCAN_ERR_PARAM_NOT_SUPPORTED 10 /* "Parameter Not Supported!" */
#define KCAN_ERR_BAUD_NOT_SUPPORTED 11  /* "Baud Rate Parameter Not Supported!" */
#define KCAN_ERR_USB_COMMAND 12         /* "USB Command Failed!" */
#define KCAN_ERR_CAN_NOT_INIT 13        /* "CAN Not Initialized!" */
#define KCAN_ERR_CAN_FORMAT 14          /* "CAN Format Error!" */
#define KCAN_ERR_COUNT 15

/* ---- Frame records ------------------------------------------------------ */

/* One classic CAN frame, 24 bytes. */
typedef struct _KCAN_CAN_OBJ {
    uint32_t id;         /* 11 bits (ext 0) or 29 bits (ext 1) */
    uint32_t timeStamp;  /* adapter time stamp of a received frame, unconverted */
    uint8_t frameFlags;  /* no meaning for classic frames; passed through */
    uint8_t txOption;    /* transmit option handed to the adapter */
    uint8_t rtr;         /* 1 = remote frame */
    uint8_t ext;         /* 1 = extended identifier */
    uint8_t len;         /* data bytes, 0..8 */
    uint8_t reserved[3]; /* not interpreted */
    uint8_t data[8];
} _KCAN_CAN_OBJ;

/* One CAN FD frame, 80 bytes; offsets 0..15 as in _KCAN_CAN_OBJ. */
typedef struct _KCAN_CANFD_OBJ {
    uint32_t id;
    uint32_t timeStamp;
    uint8_t frameFlags; /* bit 3 (0x08) BRS; bit 4 (0x10) extra transmit flag */
    uint8_t txOption;
    uint8_t rtr;
    uint8_t ext;
    uint8_t len; /* data bytes, 0..64 (a byte count, not a DLC code) */
    uint8_t reserved[3];
    uint8_t data[64];
} _KCAN_CANFD_OBJ;

#define KCAN_FRAME_FLAG_BRS 0x08u
#define KCAN_FRAME_FLAG_EXTRA 0x10u

/* ---- Configuration and information records ------------------------------ */

/* Classic channel initialisation (types 3 and 4). */
typedef struct _KCAN_INIT_CONFIG {
    uint8_t reserved[13]; /* not read; zero them */
    uint8_t timing0;      /* bus timing register 0 (16 MHz SJA1000-compatible) */
    uint8_t timing1;      /* bus timing register 1 */
    uint8_t mode;         /* 0 or 1 */
} _KCAN_INIT_CONFIG;

/* Channel initialisation for the FD-family adapters (types 41..43, 64..67).
 * With fdEnable set and both rates 0 the custom timing words are used;
 * otherwise the rates are looked up (error 11 when unsupported). Timing word:
 * bits 31..22 prescaler, 21..15 SJW, 14..8 TSEG2, 7..0 TSEG1, each minus one. */
typedef struct _KCAN_INITFD_CONFIG {
    uint32_t abitBaudRate; /* arbitration bit rate, bit/s */
    uint32_t dbitBaudRate; /* data bit rate, bit/s */
    uint32_t abitTiming;   /* custom arbitration timing word */
    uint32_t dbitTiming;   /* custom data timing word */
    uint8_t mode;          /* channel mode byte, passed to the adapter */
    uint8_t fdEnable;      /* nonzero: CAN FD; 0: classic CAN only */
    uint8_t isoMode;       /* 1 = ISO CAN FD, 0 = non-ISO */
    uint8_t reserved[37];
} _KCAN_INITFD_CONFIG;

/* Adapter identity. */
typedef struct _KCAN_BOARD_INFO {
    uint16_t hwVersion;
    uint16_t fwVersion;
    uint16_t reserved0;
    uint16_t ifVersion;
    uint16_t reserved1;
    uint8_t chNum;
    char serialNum[20]; /* not NUL-terminated when all 20 are used */
    char hwType[40];
    uint8_t reserved2[4];
} _KCAN_BOARD_INFO;

/* One acceptance-filter operation (FD adapters) or stored entry (recorders). */
typedef struct _KCAN_FLITER_CONFIG {
    uint8_t filterOp;   /* FD: 0 clear, 1 set mode and range, 2 enable */
    uint8_t filterMode; /* FD: filter mode for operation 1 */
    uint8_t filterType; /* recorder: entry type byte */
    uint32_t startId;
    uint32_t endId;
    uint16_t filterIndex; /* recorder: entry to read back */
} _KCAN_FLITER_CONFIG;

/* Recorder filter summary. */
typedef struct _KCAN_FLITER_INFO {
    uint16_t filterCount;
    uint8_t filterState;
} _KCAN_FLITER_INFO;

/* Recorder channel settings. */
typedef struct _KCAN_RECORD_CONFIG {
    uint8_t reserved;
    uint8_t fdEnable;
    uint8_t isoMode;
    uint8_t mode;
    uint8_t abitClock; /* MHz */
    uint8_t dbitClock; /* MHz */
    uint32_t abitTiming;
    uint32_t dbitTiming;
    uint8_t recordFlagA;
    uint8_t recordParamA;
    uint8_t recordParamB;
    uint8_t recordFlagB;
    uint8_t recordParamC;
} _KCAN_RECORD_CONFIG;

/* The frame records travel byte for byte between processes: pin the layout. */
#ifdef __cplusplus
#define KCAN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KCAN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
KCAN_STATIC_ASSERT(sizeof(_KCAN_CAN_OBJ) == 24, "_KCAN_CAN_OBJ is 24 bytes");
KCAN_STATIC_ASSERT(sizeof(_KCAN_CANFD_OBJ) == 80, "_KCAN_CANFD_OBJ is 80 bytes");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CAN_OBJ, timeStamp) == 4, "timeStamp at 4");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CAN_OBJ, frameFlags) == 8, "frameFlags at 8");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CAN_OBJ, txOption) == 9, "txOption at 9");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CAN_OBJ, rtr) == 10, "rtr at 10");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CAN_OBJ, ext) == 11, "ext at 11");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CAN_OBJ, len) == 12, "len at 12");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CAN_OBJ, data) == 16, "data at 16");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CANFD_OBJ, frameFlags) == 8, "FD frameFlags at 8");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CANFD_OBJ, len) == 12, "FD len at 12");
KCAN_STATIC_ASSERT(offsetof(_KCAN_CANFD_OBJ, data) == 16, "FD data at 16");
KCAN_STATIC_ASSERT(sizeof(_KCAN_INIT_CONFIG) == 16, "_KCAN_INIT_CONFIG is 16 bytes");
KCAN_STATIC_ASSERT(sizeof(_KCAN_INITFD_CONFIG) == 56, "_KCAN_INITFD_CONFIG is 56 bytes");
KCAN_STATIC_ASSERT(offsetof(_KCAN_INITFD_CONFIG, mode) == 16, "INITFD mode at 16");
KCAN_STATIC_ASSERT(offsetof(_KCAN_BOARD_INFO, chNum) == 10, "BOARD_INFO chNum at 10");
KCAN_STATIC_ASSERT(offsetof(_KCAN_RECORD_CONFIG, abitTiming) == 8, "RECORD abitTiming at 8");

/* ---- Device control ------------------------------------------------------ */

/* Opens the adapter. 1 = opened or already open; 0 = failed (error 1, 5, 6 ...). */
KCAN_API uint32_t KCAN_OpenDevice(uint32_t devType, uint32_t devIndex);
/* Closes the adapter; 1 also when it was not open. */
KCAN_API uint32_t KCAN_CloseDevice(uint32_t devType, uint32_t devIndex);
KCAN_API uint32_t KCAN_BoardInfoGet(uint32_t devType, uint32_t devIndex, _KCAN_BOARD_INFO* info);
/* Sends raw bytes to the adapter; returns the number of reply bytes copied
 * back into data (the buffer must hold 62 bytes on FD adapters). */
KCAN_API uint32_t KCAN_DataDirectTransfer(uint32_t devType, uint32_t devIndex, uint8_t* data,
                                          uint32_t length);

/* ---- Channel control ----------------------------------------------------- */

/* Classic adapters: configure and start the channel. */
KCAN_API uint32_t KCAN_InitCAN(uint32_t devType, uint32_t devIndex, uint32_t channel,
                               _KCAN_INIT_CONFIG* cfg);
/* FD-family adapters: configure and start the channel (classic CAN with fdEnable 0). */
KCAN_API uint32_t KCAN_InitCANFD(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                 _KCAN_INITFD_CONFIG* cfg);
KCAN_API uint32_t KCAN_Start(uint32_t devType, uint32_t devIndex, uint32_t channel);
KCAN_API uint32_t KCAN_Stop(uint32_t devType, uint32_t devIndex, uint32_t channel);
KCAN_API uint32_t KCAN_ClearBuffer(uint32_t devType, uint32_t devIndex, uint32_t channel);
/* Frames waiting: kind 0 classic, 1 CAN FD, 2 both (FD adapters). */
KCAN_API uint32_t KCAN_GetReceiveNum(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                     uint8_t kind);
KCAN_API uint32_t KCAN_SetFliter(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                 _KCAN_FLITER_CONFIG* cfg);

/* ---- Frames -------------------------------------------------------------- */

/* Returns the number of frames sent. */
KCAN_API uint32_t KCAN_Transmit(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                _KCAN_CAN_OBJ* frames, uint32_t count);
KCAN_API uint32_t KCAN_TransmitFD(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                  _KCAN_CANFD_OBJ* frames, uint32_t count);
/* Returns the number of frames stored (at most capacity). Waits up to waitMs
 * for the first frame when none is queued; -1 waits without limit. */
KCAN_API uint32_t KCAN_Receive(uint32_t devType, uint32_t devIndex, uint32_t channel,
                               _KCAN_CAN_OBJ* buffer, uint32_t capacity, int32_t waitMs);
KCAN_API uint32_t KCAN_ReceiveFD(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                 _KCAN_CANFD_OBJ* buffer, uint32_t capacity, int32_t waitMs);

/* ---- Recorder adapters (types 61, 62) ----------------------------------- */

KCAN_API uint32_t KCAN_RecordSettingSet(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                        _KCAN_RECORD_CONFIG* cfg);
KCAN_API uint32_t KCAN_RecordSettingGet(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                        _KCAN_RECORD_CONFIG* cfg);
/* command: 0 clear filters, 1 add (cfg), 2 enable, 3 disable, 4 summary (info),
 * 5 read entry cfg->filterIndex (cfg). */
KCAN_API uint32_t KCAN_RecordCmdExecute(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                        uint32_t command, _KCAN_FLITER_INFO* info,
                                        _KCAN_FLITER_CONFIG* cfg);
KCAN_API uint32_t KCAN_RecordFliterClr(uint32_t devType, uint32_t devIndex, uint32_t channel);
KCAN_API uint32_t KCAN_RecordFliterAdd(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                       _KCAN_FLITER_CONFIG* cfg);
KCAN_API uint32_t KCAN_RecordFliterEnable(uint32_t devType, uint32_t devIndex, uint32_t channel);
KCAN_API uint32_t KCAN_RecordFliterDisable(uint32_t devType, uint32_t devIndex, uint32_t channel);
KCAN_API uint32_t KCAN_RecordFliterInfoGet(uint32_t devType, uint32_t devIndex, uint32_t channel,
                                           _KCAN_FLITER_INFO* info);
KCAN_API uint32_t KCAN_RecordFliterSettingGet(uint32_t devType, uint32_t devIndex,
                                              uint32_t channel, uint16_t filterIndex,
                                              _KCAN_FLITER_CONFIG* cfg);

/* ---- Classic adapter device services (types 3, 4) ----------------------- */

KCAN_API uint32_t KCAN_DevRelayStatusSet(uint32_t devType, uint32_t devIndex, uint8_t a,
                                         uint8_t b);
KCAN_API uint32_t KCAN_DevRelayStatusGet(uint32_t devType, uint32_t devIndex, uint8_t* a,
                                         uint8_t* b);
KCAN_API uint32_t KCAN_DevBaudParaGet(uint32_t devType, uint32_t devIndex, uint8_t channel,
                                      uint8_t* p1, uint8_t* p2);
KCAN_API uint32_t KCAN_DevChStateGet(uint32_t devType, uint32_t devIndex, uint8_t channel,
                                     uint8_t* s1, uint8_t* s2, uint8_t* s3);

/* ---- Last error ---------------------------------------------------------- */

/* The code of the last recorded failure (0..14). */
KCAN_API int32_t KCAN_GetLastError(void);
/* Its text, e.g. "OK" or "Device Not Opened!"; static, never freed. */
KCAN_API const char* KCAN_GetLastErrorStr(void);

#ifdef __cplusplus
}
#endif

#endif /* KCAN_H */
