/* The RP1210 application interface exported by qz121032.dll / libqz121032.so.
 * short is a signed 16-bit integer; the RP1210 "long" arguments are 32-bit on every
 * platform (int32_t). Exports use the Windows API calling convention. */
#ifndef QZ121032_RP1210_H
#define QZ121032_RP1210_H

#include <stdint.h>

#if defined(_WIN32)
#define RP1210_API __stdcall
#define RP1210_EXPORT
#else
#define RP1210_API
#define RP1210_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

RP1210_EXPORT short RP1210_API RP1210_ClientConnect(void* hwnd_client, short device_id,
                                                    const char* protocol,
                                                    int32_t tx_buffer_size,
                                                    int32_t rx_buffer_size,
                                                    short is_app_packetizing_incoming);
RP1210_EXPORT short RP1210_API RP1210_ClientDisconnect(short client_id);
RP1210_EXPORT short RP1210_API RP1210_SendMessage(short client_id, const char* message,
                                                  short message_size, short notify_status_on_tx,
                                                  short block_on_send);
RP1210_EXPORT short RP1210_API RP1210_ReadMessage(short client_id, char* buffer,
                                                  short buffer_size, short block_on_read);
RP1210_EXPORT short RP1210_API RP1210_SendCommand(short command_number, short client_id,
                                                  char* arguments, short argument_size);
RP1210_EXPORT short RP1210_API RP1210_Ioctl(short client_id, int32_t ioctl_id, void* input,
                                            void* output);
RP1210_EXPORT void RP1210_API RP1210_ReadVersion(char* dll_major, char* dll_minor,
                                                 char* api_major, char* api_minor);
RP1210_EXPORT short RP1210_API RP1210_ReadDetailedVersion(short client_id, char* api_version,
                                                          char* dll_version,
                                                          char* firmware_version);
RP1210_EXPORT short RP1210_API RP1210_GetHardwareStatus(short client_id, char* buffer,
                                                        short buffer_size,
                                                        short block_on_request);
RP1210_EXPORT short RP1210_API RP1210_GetErrorMsg(short error_code, char* description);
RP1210_EXPORT short RP1210_API RP1210_GetLastErrorMsg(short error_code, int32_t* sub_error_code,
                                                      char* description, short client_id);

/* Function-pointer types, for applications that load the library at run time. */
typedef short(RP1210_API* RP1210_ClientConnect_fn)(void*, short, const char*, int32_t, int32_t,
                                                   short);
typedef short(RP1210_API* RP1210_ClientDisconnect_fn)(short);
typedef short(RP1210_API* RP1210_SendMessage_fn)(short, const char*, short, short, short);
typedef short(RP1210_API* RP1210_ReadMessage_fn)(short, char*, short, short);
typedef short(RP1210_API* RP1210_SendCommand_fn)(short, short, char*, short);
typedef short(RP1210_API* RP1210_Ioctl_fn)(short, int32_t, void*, void*);
typedef void(RP1210_API* RP1210_ReadVersion_fn)(char*, char*, char*, char*);
typedef short(RP1210_API* RP1210_ReadDetailedVersion_fn)(short, char*, char*, char*);
typedef short(RP1210_API* RP1210_GetHardwareStatus_fn)(short, char*, short, short);
typedef short(RP1210_API* RP1210_GetErrorMsg_fn)(short, char*);
typedef short(RP1210_API* RP1210_GetLastErrorMsg_fn)(short, int32_t*, char*, short);

#ifdef __cplusplus
}
#endif

#endif
