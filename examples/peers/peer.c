/* An example peer of the EEPROM manager, in C with czmq and jansson, the
 * libraries of the unit's services: it reads the unit's identity, watches
 * the service's heartbeat, renames the unit and confirms the rename, and
 * stops the service. doc/wire-protocol.md describes every message used here.
 *
 * Run it on the unit (or a simulated one) while the service runs:
 *     example-peer NEW-NAME
 * NEW-NAME should be at most 15 bytes: the service stores no more.
 *
 * On a unit, HbBeats belongs to the health monitor and SysCntl to the system
 * controller; this peer binds both itself, taking their places, to show both
 * ends of those channels. Exit status 0 when every step was seen to work. */
#include <czmq.h>
#include <jansson.h>
#include <stdbool.h>
#include <stdio.h>
#include <string.h>

#define ENDPOINTS "ipc:///run/shm/zmq/"
#define SERVICE_NAME "Eeprom Manager"   /* what its heartbeat carries */
#define TIMEOUT_MS 10000                /* for each step */

/* What a wait looks for in a message of two frames. */
typedef bool (*wanted_fn)(const char *topic, const char *text, const void *arg);

/* Waits up to timeout_ms for a message of sock that wanted() accepts; true
 * when one came. Other messages are read and dropped. */
static bool wait_for(zsock_t *sock, wanted_fn wanted, const void *arg, int timeout_ms)
{
    int64_t deadline = zclock_mono() + timeout_ms;
    zpoller_t *poller = zpoller_new(sock, NULL);
    bool found = false;
    while (!found) {
        int64_t remaining = deadline - zclock_mono();
        if (remaining <= 0 || zpoller_wait(poller, (int)remaining) != sock)
            break;
        char *topic = NULL, *text = NULL;
        zstr_recvx(sock, &topic, &text, NULL);    /* text: NULL for one frame */
        found = topic && wanted(topic, text ? text : "", arg);
        zstr_free(&topic);
        zstr_free(&text);
    }
    zpoller_destroy(&poller);
    return found;
}

/* A heartbeat of this service: other services send theirs to HbBeats too. */
static bool our_heartbeat(const char *topic, const char *text, const void *arg)
{
    (void)arg;
    return streq(topic, "HbMon") && streq(text, SERVICE_NAME);
}

/* An identity whose "Unit Name" is arg; NULL: any identity, printed. */
static bool identity_named(const char *topic, const char *text, const void *arg)
{
    json_t *identity = json_loads(text, 0, NULL);
    const char *name = json_string_value(json_object_get(identity, "Unit Name"));
    bool match = streq(topic, "PromInfo") && name && (!arg || streq(name, arg));
    if (match && !arg)
        printf("identity: %s\n", text);
    json_decref(identity);
    return match;
}

/* The XPUB hands on a subscription as one frame: byte 1, then the topic. */
static bool stop_subscription(const char *topic, const char *text, const void *arg)
{
    (void)text;
    (void)arg;
    return streq(topic, "\001ServiceStop");
}

static int fail(const char *step)
{
    fprintf(stderr, "example-peer: no %s\n", step);
    return 1;
}

/* The four steps; each fails when what it waits for does not come. */
static int run(const char *new_name, zsock_t *heartbeats, zsock_t *control, zsock_t *identity,
               zsock_t *commands)
{
    /* 1. The identity, published every second. (An identity "INVLD" means a
     * record that is not valid for this unit: the service would ignore the
     * rename.) */
    if (!wait_for(identity, identity_named, NULL, TIMEOUT_MS))
        return fail("identity");

    /* 2. The heartbeat, every second, with the service's name. */
    if (!wait_for(heartbeats, our_heartbeat, NULL, TIMEOUT_MS))
        return fail("heartbeat");
    printf("heartbeat: %s\n", SERVICE_NAME);

    /* 3. The rename, its body made by jansson so that any name is quoted
     * right. No reply comes: the service writes the chip (about 0.7 s) and
     * publishes the new name at its next tick. Identities sent before the
     * write is done still carry the old name, so wait for the new one
     * rather than taking the next message. */
    json_t *command = json_pack("{s:s}", "Unit Name", new_name);
    char *body = json_dumps(command, 0);     /* NULL if the name is not UTF-8 */
    json_decref(command);
    if (!body)
        return fail("UTF-8 name");
    zstr_sendx(commands, "Set Prom", body, NULL);
    free(body);
    if (!wait_for(identity, identity_named, new_name, TIMEOUT_MS))
        return fail("identity with the new name");
    printf("renamed: %s\n", new_name);

    /* 4. The stop request, once the service's subscription is here. */
    if (!wait_for(control, stop_subscription, NULL, TIMEOUT_MS))
        return fail("subscription to ServiceStop");
    zstr_sendx(control, "ServiceStop", "[{\"HwMgrFPGA\": null}]", NULL);
    /* No reply here either: the service has stopped when its heartbeat
     * stops. One sent just before it stopped may still come; after 3 s
     * (three periods) without one, it has gone. */
    int64_t deadline = zclock_mono() + TIMEOUT_MS;
    while (wait_for(heartbeats, our_heartbeat, NULL, 3000))
        if (zclock_mono() > deadline)
            return fail("end of the heartbeat: the service runs on");
    printf("stopped\n");
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc != 2) {
        fprintf(stderr, "Usage: example-peer NEW-NAME\n");
        return 2;
    }
    /* The service connects to HbBeats and SysCntl, so a peer binds them
     * ("@"); it binds PromStat and PromCmd, so a peer connects to those
     * (">"). Either side may start first: libzmq connects once both are
     * there. */
    zsock_t *heartbeats = zsock_new_sub("@" ENDPOINTS "HbBeats", "HbMon");
    /* An XPUB rather than a PUB: it hands us each subscription as a message,
     * so we learn when the service listens. A PUB drops what it sends before
     * that, without a word. */
    zsock_t *control = zsock_new_xpub("@" ENDPOINTS "SysCntl");
    zsock_t *identity = zsock_new_sub(">" ENDPOINTS "PromStat", "PromInfo");
    zsock_t *commands = zsock_new_push(">" ENDPOINTS "PromCmd");
    int status = heartbeats && control && identity && commands
                     ? run(argv[1], heartbeats, control, identity, commands)
                     : fail("endpoints: cannot bind or connect");
    zsock_destroy(&commands);
    zsock_destroy(&identity);
    zsock_destroy(&control);
    zsock_destroy(&heartbeats);
    return status;
}
