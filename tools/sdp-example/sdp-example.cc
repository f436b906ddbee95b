/*
 * sdp-example: registers a service record with the local SDP server,
 * changes its data and unregisters it, printing each step.
 *
 * usage: sdp-example [control-socket]     (default: SDP_LOCAL_PATH)
 */
#include <err.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "sdp.h"

#define SERIAL_PORT_UUID	0x1101

int
main(int argc, char **argv)
{
	const char *control = argc > 1 ? argv[1] : NULL;
	void *ss = sdp_open_local(control);

	if (ss == NULL)
		err(1, "cannot open a session to %s",
		    control != NULL ? control : SDP_LOCAL_PATH);

	bdaddr_t any;
	static const uint8_t first[] = "example service, first data";
	static const uint8_t second[] = "example service, changed data";
	uint32_t handle = 0;

	memset(&any, 0, sizeof(any));
	if (sdp_register_service(ss, SERIAL_PORT_UUID, &any, first,
	    sizeof(first), &handle) < 0)
		errx(1, "register: %s", strerror(sdp_error(ss)));
	printf("registered uuid 0x%04x as record 0x%08x\n", SERIAL_PORT_UUID,
	    handle);

	if (sdp_change_service(ss, handle, second, sizeof(second)) < 0)
		errx(1, "change: %s", strerror(sdp_error(ss)));
	printf("changed record 0x%08x (%zu bytes of data)\n", handle,
	    sizeof(second));

	if (sdp_unregister_service(ss, handle) < 0)
		errx(1, "unregister: %s", strerror(sdp_error(ss)));
	printf("unregistered record 0x%08x\n", handle);

	/* The record is gone now, so the server refuses a second removal. */
	if (sdp_unregister_service(ss, handle) < 0)
		printf("unregistering it again fails: %s\n",
		    strerror(sdp_error(ss)));
	else
		errx(1, "the server removed record 0x%08x twice", handle);

	sdp_close(ss);
	return 0;
}
