// What the logged-in operator's role allows. A control that needs more than the role carries
// data-needs-role (and data-role-what, the action in words); it stays disabled and its title says
// why, whatever else enables it later (the views enable and disable buttons as the task moves on).

const kRank = { viewer: 0, operator: 1, approver: 2, admin: 3 };

// Without access control, or before the session is known, nothing is locked.
let role = null;

function allowed(needed) {
  return role === null || !(needed in kRank) || kRank[role] >= kRank[needed];
}

function enforce(node) {
  const needed = node.dataset.needsRole;
  if (allowed(needed)) {
    if (node.dataset.roleLocked === '1') {
      delete node.dataset.roleLocked;
      node.disabled = node.dataset.wasDisabled === '1';
      node.title = node.dataset.wasTitle || '';
      delete node.dataset.wasDisabled;
      delete node.dataset.wasTitle;
    }
    return;
  }
  if (node.dataset.roleLocked !== '1') {
    node.dataset.roleLocked = '1';
    node.dataset.wasDisabled = node.disabled ? '1' : '0';
    node.dataset.wasTitle = node.title || '';
  }
  node.title = `The role ${role} may not ${node.dataset.roleWhat || 'do this'}`;
  if (!node.disabled) {
    node.disabled = true;
  }
}

function enforceAll(root) {
  if (root.dataset && root.dataset.needsRole) {
    enforce(root);
  }
  if (root.querySelectorAll) {
    root.querySelectorAll('[data-needs-role]').forEach(enforce);
  }
}

// props for el(): marks a control as needing a role.
export function needsRole(needed, what) {
  return { needsRole: needed, roleWhat: what };
}

export function currentRole() {
  return role;
}

// Applies a role ('viewer' ... 'admin', or null: nothing locked) to every marked control now and
// to every one added or re-enabled later.
export function applyRole(next) {
  role = next;
  enforceAll(document.body);
}

export function initRoles() {
  const observer = new MutationObserver((changes) => {
    if (role === null) {
      return;
    }
    for (const change of changes) {
      if (change.type === 'attributes') {
        const node = change.target;
        // A view re-enabled a locked control: it stays locked.
        if (node.dataset.roleLocked === '1' && !allowed(node.dataset.needsRole) && !node.disabled) {
          node.disabled = true;
        }
      } else {
        change.addedNodes.forEach((node) => {
          if (node.nodeType === Node.ELEMENT_NODE) {
            enforceAll(node);
          }
        });
      }
    }
  });
  observer.observe(document.body, { subtree: true, childList: true, attributes: true, attributeFilter: ['disabled'] });
}
