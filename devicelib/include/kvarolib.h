/* kvAroLib: the device library of the VORI KQ Controller.
 *
 * This is the one header an application includes. Every function is a plain C function exported by
 * name; handles and result codes are 32-bit. Result codes are 0 for success and 0xE000xxxx for
 * failures and statuses.
 */
#ifndef KVAROLIB_H
#define KVAROLIB_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KVLIB_BUILDING)
#define KVLIB_API __declspec(dllexport)
#else
#define KVLIB_API
#endif
#else
#define KVLIB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Result codes ---------------------------------------------------------------------------- */
#define KVLIB_ERR_SUCCESS 0x00000000u
#define KVLIB_ERR_NO_MEMORY 0xE0000100u
#define KVLIB_ERR_FAILED 0xE0001000u
#define KVLIB_ERR_LIB_IS_INITIALIZED 0xE0001286u
#define KVLIB_ERR_LIB_IS_NOT_INITIALIZED 0xE0001287u
#define KVLIB_ERR_DEVICE_IS_OPEN 0xE0001102u
#define KVLIB_ERR_DEVICE_NOT_OPEN 0xE0001103u
#define KVLIB_ERR_THREAD_IS_RUNNING 0xE00012A5u
#define KVLIB_ERR_THREAD_NOT_RUNNING 0xE00012A6u
#define KVLIB_ERR_THREAD_NOT_STARTABLE 0xE00012A0u
#define KVLIB_ERR_TIMEOUT 0xE000100Cu
#define KVLIB_ERR_NO_SUCH_DEVICE_INSTANCE 0xE0001104u
#define KVLIB_ERR_INVALID_PARAM 0xE0001018u
#define KVLIB_ERR_INIT_COM_TIMEOUT 0xE0001909u
#define KVLIB_ERR_SOME_DEVICES_ARE_OPEN 0xE0001101u
#define KVLIB_ERR_UNKNOWN_DEVICE_HANDLE 0xE0001283u
#define KVLIB_ERR_OPEN_COM 0xE0001906u
#define KVLIB_ERR_INIT_COM 0xE0001908u
#define KVLIB_ERR_ACCESS_DENIED 0xE0001905u
#define KVLIB_ERR_THREAD_SYNCHRONIZED 0xE00012AFu
#define KVLIB_ERR_UPLOAD_FILE_NOT_OPEN 0xE0001400u
#define KVLIB_ERR_UPLOAD_FILE_READ_ERR 0xE0001401u
#define KVLIB_ERR_UPLOAD_INVALID_FSIZE 0xE0001402u
#define KVLIB_ERR_UPLOAD_START 0xE0001403u
#define KVLIB_ERR_UPLOAD_CANCELED 0xE0001404u
#define KVLIB_ERR_UPLOAD_FAILED 0xE0001405u
#define KVLIB_ERR_UPLOAD_TIMEOUT 0xE0001406u
#define KVLIB_ERR_UPLOAD_ACK 0xE0001407u
#define KVLIB_ERR_UPLOAD_NAK 0xE0001408u
#define KVLIB_ERR_UPLOAD_DONE 0xE0001409u
#define KVLIB_ERR_TIMEOUT_TA 0xE00012B0u
#define KVLIB_ERR_CREATE_EVENT 0xE00012B1u
#define KVLIB_ERR_CREATE_MM_TIMER 0xE00012B2u
#define KVLIB_ERR_WRONG_HOSTNAME_LEN 0xE0002000u
#define KVLIB_ERR_REM_CMD_FAILED 0xE000140Bu
#define KVLIB_ERR_FWUPD_GET_FILES 0xE000140Du
#define KVLIB_ERR_FWUPD_NO_FILES 0xE000140Eu
#define KVLIB_ERR_UNKNOWN 0xEFFFFFFFu

/* Codes without a row of their own in the code table. */
#define KVLIB_ERR_UPLOAD_CACHE_UPDATE 0xE000140Au  /* flash upload done, the controller updates its cache */
#define KVLIB_ERR_CLEAN_SYSTEM_REFUSED 0xE000140Cu /* the system area cannot be cleaned */
#define KVLIB_ERR_BT_INVALID_CHANNEL 0xE0004000u   /* Bluetooth channel outside 1 to 8 */

/* ---- Remote shell --------------------------------------------------------------------------- */

/* Receives the controller's answer to a shell command: the text (NULL when there is none) and its
 * length. The text is valid only during the call. */
typedef void (*KvRemoteCmdCallback)(const char* reply, uint32_t length);

/* Sends one command line (at most 77 characters) to the controller's shell and collects the answer
 * until the prompt follows the echo of the command. The callback, which may be NULL, is called exactly
 * once on the caller's thread before the function returns. */
KVLIB_API uint32_t KvRemoteCmd(uint32_t deviceHandle, const char* command, KvRemoteCmdCallback callback);

/* Erases a storage area of the controller: 0 the RAM disk, 2 the system flash (refused), any other
 * value the flash disk. */
KVLIB_API uint32_t VKqCleanDisk(uint32_t deviceHandle, int32_t area);

#ifdef __cplusplus
}
#endif

#endif /* KVAROLIB_H */
