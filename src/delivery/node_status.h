// What a node's worker is doing, as the window shows it: the line below the
// buttons and the outbox window's node list.
#pragma once

#include "delivery/destinations.h"

#include <QDateTime>
#include <QString>

namespace skiascan {

struct NodeStatus {
    enum class Activity {
        Idle,       ///< nothing owed, or waiting to be woken
        Connecting, ///< asking for an association
        Sending,    ///< an image is under way
        Waiting,    ///< the last try failed: tried again by itself at nextTry
    };
    Node node;
    Activity activity = Activity::Idle;
    QString image;            ///< the image under way ("Smith^John (4711), image 2")
    qint64 done = 0;          ///< its bytes sent so far
    qint64 total = 0;         ///< and in all (0 until the transfer starts)
    int owed = 0;             ///< images waiting for this node, as the last pass found them
    bool failing = false;     ///< the node could not be reached, or refused an image, since it last took one
    QString lastFailure;      ///< why, or why the last image was refused
    QDateTime lastFailureAt;
    QDateTime failingSince;
    QDateTime nextTry;        ///< while Waiting
    int awaiting = 0;         ///< images the node stored and has not yet committed to
    QDateTime awaitingSince;  ///< when the oldest of them was stored
    QString reportsProblem;   ///< why the node's commitment reports cannot arrive now; empty when they can
    QString sentAs;           ///< how the last image went: "JPEG-LS lossless", "uncompressed"; empty before the first

    /// True while the worker connects or sends.
    bool busy() const { return activity == Activity::Connecting || activity == Activity::Sending; }
    /// "sending 45 %", "connecting", "next try in 30 s", "idle".
    QString text() const;
    /// "awaiting commitment since 10:42" while the node owes commitments,
    /// and why its reports cannot arrive when they cannot; empty otherwise.
    QString commitmentText() const;
};

} // namespace skiascan
