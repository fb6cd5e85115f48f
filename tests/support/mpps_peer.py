#!/usr/bin/python3
"""A Modality Performed Procedure Step node for the tests, on the odil library
(Debian's python3-odil): it takes N-CREATE and N-SET for MPPS, and C-ECHO,
keeps each step, answers as PS3.4 F.7.2 says, and records what it receives.

    mpps_peer.py PORT FOLDER [--refuse 0xSTATUS]

Listens on 127.0.0.1:PORT. Every N-CREATE and N-SET is recorded in FOLDER in
the order it arrived: NNNN.dcm holds the data set exactly as received
(Explicit VR Little Endian, no file meta header) and NNNN.json what came with
it: {"number", "operation" ("N-CREATE" or "N-SET"), "sopClassUid",
"sopInstanceUid", "status", "errorId"} (the status answered). The JSON file is
written last, through a rename: a record whose JSON file exists is complete.
FOLDER/steps/UID.dcm is each step as the node holds it (the N-CREATE's
attributes with every N-SET applied, and its SOP class and instance).

Answers: an N-CREATE of a step the node holds already is a duplicate (0x0111);
an N-CREATE whose status is not IN PROGRESS has an invalid value (0x0106); an
N-SET of a step it does not hold is "no such object" (0x0112); an N-SET of a
step that is COMPLETED or DISCONTINUED is a processing failure (0x0110) with
Error ID 0xA710, "Performed Procedure Step Object may no longer be updated"
(PS3.4 F.7.2.2.4). With --refuse every N-CREATE and N-SET is answered with
that status instead (and recorded, the step unchanged).

SIGUSR1 stops the node: the port is closed (connections are refused) and an
association under way is cut. SIGUSR2 opens the port again. SIGTERM ends it.

odil's association waits for one connection on a port of its own and holds
the interpreter while it works, so the node listens on PORT itself, without a
gap between associations, and serves each connection in a child process that
runs odil on a private port, relaying the bytes between the two.
"""

import argparse
import ctypes
import json
import os
import select
import signal
import socket
import sys
import time

import odil

MPPS = "1.2.840.10008.3.1.2.3.3"
N_CREATE_RQ = 0x0140
N_SET_RQ = 0x0120
C_ECHO_RQ = 0x0030
N_SET_RSP = 0x8120
FINAL = ("COMPLETED", "DISCONTINUED")


# ---------------------------------------------------------------- the node

def text(data_set, tag):
    if not data_set.has(tag) or data_set.empty(tag):
        return ""
    return data_set.as_string(tag)[0].decode("latin-1").strip()


def step_path(folder, uid):
    return os.path.join(folder, "steps", uid + ".dcm")


def load_step(folder, uid):
    path = step_path(folder, uid)
    if not os.path.exists(path):
        return None
    return odil.Reader.read_file(path)[1]


def save_step(folder, uid, attributes):
    step = odil.DataSet()
    step.update(attributes)
    step.add(odil.registry.SOPClassUID, [MPPS])
    step.add(odil.registry.SOPInstanceUID, [uid])
    os.makedirs(os.path.join(folder, "steps"), exist_ok=True)
    temporary = step_path(folder, uid) + ".new"
    odil.Writer.write_file(step, temporary)
    os.replace(temporary, step_path(folder, uid))


def record(folder, operation, uid, data_set, status, error_id):
    number = 1 + sum(1 for name in os.listdir(folder) if name.endswith(".json"))
    base = os.path.join(folder, "%04d" % number)
    with odil.open(base + ".dcm", "wb") as stream:
        odil.Writer(stream, odil.registry.ExplicitVRLittleEndian).write_data_set(data_set)
    meta = {"number": number, "operation": operation, "sopClassUid": MPPS,
            "sopInstanceUid": uid, "status": status, "errorId": error_id}
    with open(base + ".json.new", "w") as out:
        json.dump(meta, out)
    os.replace(base + ".json.new", base + ".json")


def serve_association(port, folder, refuse):
    """Runs in a child: takes one association on 127.0.0.1:port and answers it."""
    association = odil.Association()
    association.set_tcp_timeout(120)
    association.receive_association("v4", port)

    # What odil's providers answer is decided here; each request is recorded
    # before it is answered, so that the record is complete when the answer
    # arrives.
    def on_echo(request):
        return 0

    def on_create(request):
        uid = request.get_affected_sop_instance_uid()
        attributes = request.get_data_set()
        if refuse is not None:
            status = refuse
        elif load_step(folder, uid) is not None:
            status = 0x0111  # duplicate SOP instance
        elif text(attributes, odil.registry.PerformedProcedureStepStatus) != "IN PROGRESS":
            status = 0x0106  # invalid attribute value (PS3.4 F.7.2.1.3)
        else:
            status = 0
            save_step(folder, uid, attributes)
        record(folder, "N-CREATE", uid, attributes, status, None)
        return status

    def on_set(request):
        uid = request.get_requested_sop_instance_uid()
        modifications = request.get_data_set()
        if refuse is not None:
            status = refuse
        else:
            step = load_step(folder, uid)
            if step is None:
                status = 0x0112  # no such SOP instance
            else:
                status = 0
                step.update(modifications)
                save_step(folder, uid, step)
        record(folder, "N-SET", uid, modifications, status, None)
        return status

    echo = odil.EchoSCP(association)
    echo.set_callback(on_echo)
    create = odil.NCreateSCP(association)
    create.set_callback(on_create)
    modify = odil.NSetSCP(association)
    modify.set_callback(on_set)

    while True:
        try:
            message = association.receive_message()
        except (odil.AssociationReleased, odil.AssociationAborted):
            return
        except odil.Exception:
            return  # the connection ended
        command = message.get_command_set().as_int(odil.registry.CommandField)[0]
        if command == C_ECHO_RQ:
            echo(message)
        elif command == N_CREATE_RQ:
            create(message)
        elif command == N_SET_RQ and refuse is None and is_final(folder, message):
            refuse_final_update(association, folder, message)
        elif command == N_SET_RQ:
            modify(message)
        else:
            association.abort(2, 0)
            return


def is_final(folder, message):
    uid = message.get_command_set().as_string(odil.registry.RequestedSOPInstanceUID)[0].decode().rstrip("\0")
    step = load_step(folder, uid)
    return step is not None and text(step, odil.registry.PerformedProcedureStepStatus) in FINAL


def refuse_final_update(association, folder, message):
    """The answer to an N-SET of a step that has ended: odil's N-SET provider
    cannot add an Error ID, so this answer is made here."""
    request = message.get_command_set()
    uid = request.as_string(odil.registry.RequestedSOPInstanceUID)[0].decode().rstrip("\0")
    record(folder, "N-SET", uid, message.get_data_set(), 0x0110, 0xA710)
    answer = odil.DataSet()
    answer.add(odil.registry.AffectedSOPClassUID, [MPPS])
    answer.add(odil.registry.CommandField, [N_SET_RSP])
    answer.add(odil.registry.MessageIDBeingRespondedTo, [request.as_int(odil.registry.MessageID)[0]])
    answer.add(odil.registry.CommandDataSetType, [0x0101])
    answer.add(odil.registry.Status, [0x0110])
    answer.add(odil.registry.ErrorComment, ["Performed Procedure Step Object may no longer be updated"])
    answer.add(odil.registry.ErrorID, [0xA710])
    answer.add(odil.registry.AffectedSOPInstanceUID, [uid])
    association.send_message(odil.messages.Message(answer), MPPS)


# ------------------------------------------------------- listening, relaying

class Flags:
    stopped = False
    ending = False


def on_signal(number, _frame):
    if number == signal.SIGUSR1:
        Flags.stopped = True
    elif number == signal.SIGUSR2:
        Flags.stopped = False
    else:
        Flags.ending = True


def listen(port):
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(16)
    return listener


def private_port():
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    probe.bind(("127.0.0.1", 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


def end_with_parent():
    # The child must not outlive the node when the node is killed.
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def relay(client, port, child):
    """Connects to the child's port and moves bytes both ways until both sides
    have closed, the node is stopped or ended, or the child has gone."""
    deadline = time.monotonic() + 10
    inner = None
    while inner is None:
        try:
            inner = socket.create_connection(("127.0.0.1", port), timeout=1)
        except OSError:
            if time.monotonic() > deadline or os.waitpid(child, os.WNOHANG)[0] != 0:
                return
            time.sleep(0.005)
    inner.settimeout(None)
    peers = {client: inner, inner: client}
    open_sides = {client, inner}
    try:
        while open_sides and not Flags.stopped and not Flags.ending:
            readable, _, _ = select.select(list(open_sides), [], [], 0.2)
            for side in readable:
                try:
                    data = side.recv(65536)
                except OSError:
                    data = b""
                if data:
                    peers[side].sendall(data)
                else:
                    open_sides.discard(side)
                    try:
                        peers[side].shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
    except OSError:
        pass
    finally:
        inner.close()


def reap(child):
    # The child ends once its association has; one cut by a stop is ended here.
    deadline = time.monotonic() + (0 if Flags.stopped or Flags.ending else 2)
    try:
        while os.waitpid(child, os.WNOHANG)[0] == 0:
            if time.monotonic() >= deadline:
                os.kill(child, signal.SIGKILL)
                os.waitpid(child, 0)
                return
            time.sleep(0.005)
    except ChildProcessError:
        pass  # reaped already, while the relay waited for its port


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", type=int)
    parser.add_argument("folder")
    parser.add_argument("--refuse", type=lambda value: int(value, 0), default=None)
    arguments = parser.parse_args()
    os.makedirs(arguments.folder, exist_ok=True)

    for number in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGTERM, signal.SIGINT):
        signal.signal(number, on_signal)
    listener = listen(arguments.port)
    while not Flags.ending:
        if Flags.stopped:
            if listener is not None:
                listener.close()
                listener = None
            time.sleep(0.05)
            continue
        if listener is None:
            listener = listen(arguments.port)
        readable, _, _ = select.select([listener], [], [], 0.2)
        if not readable:
            continue
        client, _ = listener.accept()
        port = private_port()
        child = os.fork()
        if child == 0:
            listener.close()
            client.close()
            end_with_parent()
            code = 0
            try:
                serve_association(port, arguments.folder, arguments.refuse)
            except Exception as e:  # reported; the node goes on with the next association
                print("mpps_peer: %s" % e, file=sys.stderr)
                code = 1
            os._exit(code)
        relay(client, port, child)
        client.close()
        reap(child)
    return 0


if __name__ == "__main__":
    sys.exit(main())
