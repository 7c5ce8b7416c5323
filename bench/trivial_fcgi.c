/* The floor for a FastCGI gateway: a responder (libfcgi) that answers every
   request with a fixed 1 KiB reply and does nothing else. */
#include <fcgiapp.h>
#include <string.h>

int main(void) {
  static char body[1024];
  memset(body, 'x', sizeof body);
  FCGX_Request request;
  FCGX_Init();
  FCGX_InitRequest(&request, 0, 0);
  while (FCGX_Accept_r(&request) >= 0) {
    FCGX_PutS("Status: 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1024\r\n\r\n",
              request.out);
    FCGX_PutStr(body, sizeof body, request.out);
    FCGX_Finish_r(&request);
  }
  return 0;
}
