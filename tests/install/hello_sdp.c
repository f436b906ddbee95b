/*
 * hello_sdp: a program built against an installed libsdp, the way its
 * users build theirs. Registers a record with the local SDP server at the
 * socket given, changes and unregisters it, and checks that the server
 * then refuses the record: each step must really reach the server.
 *
 * usage: hello_sdp control-socket
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <sdp.h>

static int
fail(const char *step, void *ss)
{
	fprintf(stderr, "hello_sdp: %s: %s\n", step,
	    ss != NULL ? strerror(sdp_error(ss)) : "no session");
	return 1;
}

int
main(int argc, char **argv)
{
	static const uint8_t data[] = "hello from an installed libsdp";
	static const uint8_t changed[] = "changed";
	bdaddr_t any;
	uint32_t handle = 0;
	void *ss;

	if (argc != 2) {
		fprintf(stderr, "usage: hello_sdp control-socket\n");
		return 2;
	}
	ss = sdp_open_local(argv[1]);
	if (ss == NULL) {
		perror("hello_sdp: sdp_open_local");
		return 1;
	}
	memset(&any, 0, sizeof(any));
	if (sdp_register_service(ss, 0x1101, &any, data, sizeof(data),
	    &handle) != 0)
		return fail("register", ss);
	if (sdp_change_service(ss, handle, changed, sizeof(changed)) != 0)
		return fail("change", ss);
	if (sdp_unregister_service(ss, handle) != 0)
		return fail("unregister", ss);
	if (sdp_unregister_service(ss, handle) == 0 || sdp_error(ss) == 0) {
		fprintf(stderr, "hello_sdp: record 0x%08x removed twice\n",
		    (unsigned)handle);
		return 1;
	}
	if (sdp_close(ss) != 0) {
		perror("hello_sdp: sdp_close");
		return 1;
	}
	printf("hello_sdp: registered, changed and unregistered record "
	    "0x%08x\n", (unsigned)handle);
	return 0;
}
